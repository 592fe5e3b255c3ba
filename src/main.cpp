// The policy, top to bottom: the command line is read whole first and
// decides nothing; then who the invoker is, the privilege each -u and -c
// asks for where it stands, the target, the access lists, the source, read
// whole, the store and the operation, in that order; the run ends in one
// place, with its record. Nothing is kept outside main itself.

#include "access.h"
#include "descriptors.h"
#include "edit.h"
#include "interrupts.h"
#include "keep.h"
#include "messages.h"
#include "record.h"
#include "relro.h"
#include "size_limit.h"
#include "source.h"
#include "store.h"
#include "user.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

enum Mode { None = 0, Edit = 1, List = 2, Replace = 3, Delete = 4 };

// The command line, as written. A usage error is said only once the -u and
// -c options before it are checked, as when each option acted as it came.
struct Options {
	Mode mode;
	// The option that chose mode, for the usage error of a second one.
	char mode_option;
	// The first usage error, or empty.
	char usage_why[64];
	// The last option that getopt refused, and whether it lacked its
	// argument; it counts only when no operation is left chosen.
	char refused;
	bool lacked_argument;
	// The operands, in the order they stand; only a lone one is ever used.
	const char *operand;
	const char *second_operand;
	int operand_count;
};

// Whom the -u and -c options are checked for, and what they choose.
struct Picking {
	const Invoker *invoker;
	uid_t effective_uid;
	char (*target)[login_name_size];
	const char **dir;
};

// A usage error says why, on standard error, before the usage text.
[[noreturn]] static void print_usage(const char *why)
{
	say("%s\n", why);
	puts("crontab 4.5");
	puts("crontab file [-u user]  replace crontab from file");
	puts("crontab -  [-u user]    replace crontab from stdin");
	puts("crontab -l [-u user]    list crontab");
	puts("crontab -e [-u user]    edit crontab");
	puts("crontab -d [-u user]    delete crontab");
	puts("crontab -c dir <opts>   specify crontab directory");
	exit(2);
}

static void choose(Options *options, Mode wanted, char option)
{
	if (options->mode != None && options->usage_why[0] == '\0')
		snprintf(options->usage_why, sizeof options->usage_why,
			 "-%c cannot be given with -%c", option, options->mode_option);
	options->mode = wanted;
	options->mode_option = option;
}

static void add_operand(Options *options, const char *arg)
{
	if (options->operand_count == 0)
		options->operand = arg;
	else if (options->operand_count == 1)
		options->second_operand = arg;
	options->operand_count++;
}

// An option getopt refused cancels the operation chosen before it.
static void refuse_option(Options *options)
{
	options->mode = None;
	options->refused = static_cast<char>(optopt);
	options->lacked_argument = optopt == 'u' || optopt == 'c';
}

// Every refusal is on record before the command exits, with what was said
// on standard error. what names the refused option or operation, or is empty.
[[noreturn]] static void refuse(const char *what)
{
	record_refusal(what, "");
	exit(1);
}

// The invoker is whoever the real user id is, and only that user.
static void identify_invoker(Invoker *invoker, uid_t *effective_uid)
{
	const passwd *entry = find_invoker(invoker, effective_uid);
	if (entry == nullptr) {
		record_who(invoker->name, invoker->uid);
		record_refusal("", "");
		exit(1);
	}
	int taken = check_invoker(invoker, entry);
	record_who(invoker->name, invoker->uid);
	if (taken != 0)
		refuse("");
}

// -u and -c are the superuser's, and a set-user-id run's invoker is not;
// the last of each kind wins. A name that gives the invoker's own user id
// asks for nothing more than no -u at all, and needs no privilege.
static void check_pick(const Picking *picking, char option, const char *arg)
{
	const Invoker *invoker = picking->invoker;
	if (option == 'u' && names_invoker(arg, invoker)) {
		memcpy(*picking->target, invoker->name, sizeof *picking->target);
		return;
	}
	char what[login_name_size + 8];
	snprintf(what, sizeof what, "-%c %s", option, arg);
	if (arg[0] == '\0' || invoker->uid != picking->effective_uid) {
		log_message("-%c option: superuser only", option);
		refuse(what);
	}
	if (option == 'c')
		*picking->dir = arg;
	else if (find_target(arg, *picking->target) != 0)
		refuse(what);
}

// getopt, with a leading "-" in the option string, which hands back
// operands in their place on every C library and whatever POSIXLY_CORRECT
// says, so that options after the operand are read too; and a lone "-"
// handed back as one, where a C library stops at it.
static int next_option(int argc, char **argv)
{
	int at = optind > 0 ? optind : 1;
	int c = getopt(argc, argv, "-ledru:c:");
	if (c != -1 || optind != at || optind >= argc || strcmp(argv[optind], "-") != 0)
		return c;
	optarg = argv[optind++];
	return 1;
}

// Read once to know the command, and again with picking given, to check
// each -u and -c where it stands and end at the first usage error.
static void read_options(int argc, char **argv, Options *options, const Picking *picking)
{
	*options = {};
	opterr = 0;
	// Zero starts the scan over on glibc and musl alike; 1 is where it starts.
	optind = 0;
	for (int c; (c = next_option(argc, argv)) != -1;) {
		if (c == 1)
			add_operand(options, optarg);
		else if (c == 'l' || c == 'e')
			choose(options, c == 'l' ? List : Edit, static_cast<char>(c));
		else if (c == 'd' || c == 'r')
			choose(options, Delete, static_cast<char>(c));
		else if (c != 'u' && c != 'c')
			refuse_option(options);
		else if (picking != nullptr)
			check_pick(picking, static_cast<char>(c), optarg);
		if (picking != nullptr && options->usage_why[0] != '\0')
			print_usage(options->usage_why);
	}
	// After "--" everything is an operand.
	while (optind < argc)
		add_operand(options, argv[optind++]);
}

// Why the operation chosen and the operands left make no command.
static const char *operation_problem(const Options &options, char (&why)[1024])
{
	const char *operand = options.operand;
	if (options.mode == None && options.refused != '\0')
		snprintf(why, sizeof why,
			 options.lacked_argument ? "option -%c needs an argument"
						 : "unknown option -%c",
			 options.refused);
	else if (options.mode == None && options.operand_count == 0)
		snprintf(why, sizeof why, "no operation given");
	else if (options.mode == None && options.operand_count > 1)
		snprintf(why, sizeof why, "extra operand %s", options.second_operand);
	else if (options.mode == None)
		snprintf(why, sizeof why,
			 "operand %s is no file name: write ./%s for a file so named", operand,
			 operand);
	else
		snprintf(why, sizeof why, "-%c takes no operand: %s", options.mode_option, operand);
	return why;
}

// The operand counts only when no operation was chosen and it stands alone.
static Mode choose_operation(const Options &options, const char **path)
{
	Mode mode = options.mode;
	bool taken = false;
	if (mode == None && options.operand_count == 1) {
		if (options.operand[0] != '-') {
			mode = Replace;
			*path = options.operand;
			taken = true;
		} else if (strcmp(options.operand, "-") == 0) {
			mode = Replace;
			taken = true;
		}
	}
	if (mode == None || options.operand_count > (taken ? 1 : 0)) {
		char why[1024];
		print_usage(operation_problem(options, why));
	}
	return mode;
}

// What this run does, for the record: "edit crontab of alice", with the
// directory when it is not the one the scheduler reads by default.
static void describe(Mode mode, const char *target, const char *dir, const char *path,
		     char (&action)[1024])
{
	static const char *const verbs[] = {"", "edit", "list", "replace", "delete"};
	bool elsewhere = strcmp(dir, default_crontab_dir) != 0;
	const char *from = mode != Replace   ? ""
			   : path != nullptr ? " from file "
					     : " from standard input";
	snprintf(action, sizeof action, "%s crontab of %s%s%s%s%s", verbs[mode], target,
		 elsewhere ? " in " : "", elsewhere ? dir : "", from, path != nullptr ? path : "");
	record_action(action);
}

// What the command creates belongs to root's group too, not to the group
// that the caller happened to run it with.
static int join_root_group(uid_t effective_uid)
{
	if (effective_uid == 0 && setegid(0) != 0) {
		report_call("setegid");
		return -1;
	}
	return 0;
}

// The one end of a run that got as far as its operation: a failure (any
// result but 0) goes on record with what was said of it; words say what
// the change did, for its record, when it was made or tried.
[[noreturn]] static void end_run(int result, const char *words, bool announced)
{
	if (result != 0) {
		record_failure();
		exit(1);
	}
	if (words != nullptr)
		record_outcome(words, announced);
	exit(0);
}

int main(int argc, char **argv)
{
#ifdef CRONTAB_SEAL_RELRO
	if (seal_relro() != 0) {
		report_call("mprotect");
		exit(1);
	}
#endif
	if (guard_standard_descriptors() != 0)
		_exit(1);
	// However the run ends, its last message ends its line.
	if (atexit(end_line) != 0)
		exit(1);
	// The large values are static, not on the stack: a caller's small stack
	// limit must not be able to stop the run between a change and its record.
	static Options options;
	read_options(argc, argv, &options, nullptr);

	static Invoker invoker;
	uid_t effective_uid = 0;
	identify_invoker(&invoker, &effective_uid);
	static char target[login_name_size];
	memcpy(target, invoker.name, sizeof target);
	const char *dir = default_crontab_dir;
	const Picking picking = {&invoker, effective_uid, &target, &dir};
	read_options(argc, argv, &options, &picking);
	const char *path = nullptr;
	Mode mode = choose_operation(options, &path);
	static char action[1024];
	describe(mode, target, dir, path, action);
	if (invoker.uid != 0 && check_access(invoker.name) != 0)
		refuse(action);

	// Children get the caller's limit back; this process writes in full.
	if (mode != List) {
		lift_size_limit();
		if (join_root_group(effective_uid) != 0)
			end_run(-1, nullptr, false);
	}
	// Read before entering the crontab directory, so that a relative path
	// means what it meant to the invoker; an interrupt from here on, or a
	// source that fails, has changed nothing.
	if (mode == Replace)
		catch_interrupts("install interrupted, crontab unchanged\n", "");
	Source source = {};
	bool opened;
	if (path != nullptr && read_file(&invoker, path, false, &source, &opened) != 0)
		end_run(-1, nullptr, false);

	// A listing changes nothing: however it ends, it is not on record.
	const Crontab crontab = {dir, target};
	if (mode == List)
		exit(enter_store(dir) == 0 && list_crontab(&crontab) == 0 ? 0 : 1);
	if (enter_store(dir) != 0)
		end_run(-1, nullptr, false);
	if (mode == Delete) {
		bool deleted;
		int result = delete_keeping(&invoker, &crontab, &deleted);
		end_run(result, deleted ? "deleted" : "there was nothing to delete", deleted);
	}
	if (mode == Edit) {
		bool installed;
		int result = edit_crontab(&invoker, &crontab, &installed);
		// Kept uninstalled, as the person chose: nothing failed, nothing changed.
		if (result == 1)
			exit(1);
		end_run(result, installed ? "installed" : nullptr, true);
	}
	if (path == nullptr && read_input(&crontab, &source) != 0)
		end_run(-1, nullptr, false);
	end_run(replace_keeping(&invoker, &crontab, &source), "installed", true);
}
