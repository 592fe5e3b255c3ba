#include "access.h"
#include "as_user.h"
#include "descriptors.h"
#include "edit.h"
#include "install.h"
#include "large.h"
#include "log.h"
#include "relro.h"
#include "size_limit.h"
#include "store.h"
#include "user.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#ifndef CRONTAB_DIR
#define CRONTAB_DIR "/etc/crontabs"
#endif

enum Mode { None = 0, Edit = 1, List = 2, Replace = 3, Delete = 4 };

static Invoker invoker;
static uid_t effective_uid;
static char target_name[login_name_size];
// Who runs this, for the system log: "alice (uid 2001)".
static char who[login_name_size + 32];
static char action[1024];

[[noreturn]] static void print_usage()
{
	puts("crontab 4.5");
	puts("crontab file [-u user]  replace crontab from file");
	puts("crontab -  [-u user]    replace crontab from stdin");
	puts("crontab -l [-u user]    list crontab");
	puts("crontab -e [-u user]    edit crontab");
	puts("crontab -d [-u user]    delete crontab");
	puts("crontab -c dir <opts>   specify crontab directory");
	exit(2);
}

// Every refusal is on record before the command exits, with what was said
// on standard error. what names the refused option or operation, or is empty.
[[noreturn]] static void refuse(const char *what)
{
	record_subject("%s", who);
	record(LOG_WARNING, "refused%s%s: %s", what[0] != '\0' ? " " : "", what, diagnostics());
	exit(1);
}

// So is every change that failed. A listing changes nothing and never
// comes here.
[[noreturn]] static void fail()
{
	record(LOG_WARNING, "failed: %s", diagnostics());
	exit(1);
}

// The invoker is whoever the real user id is, and only that user.
static void identify_invoker()
{
	int found = find_invoker(&invoker, &effective_uid);
	snprintf(who, sizeof who, "%s%s(uid %d)", invoker.name, invoker.name[0] ? " " : "",
		 static_cast<int>(invoker.uid));
	if (found != 0 && invoker.name[0] == '\0') {
		record_subject("%s", who);
		record(LOG_WARNING, "refused: no user database entry; %s", diagnostics());
		exit(1);
	}
	if (found != 0)
		refuse("");
	memcpy(target_name, invoker.name, sizeof target_name);
}

// What the command creates belongs to root's group too, not to the group
// that the caller happened to run it with.
static void take_root_group()
{
	if (effective_uid == 0 && setegid(0) != 0) {
		log_message("setegid: %s\n", strerror(errno));
		fail();
	}
}

static void check_privileged(const char *option, const char *arg)
{
	if (arg[0] == '\0' || invoker.uid != effective_uid) {
		char what[login_name_size + 8];
		snprintf(what, sizeof what, "-%s %s", option, arg);
		log_message("-%s option: superuser only", option);
		refuse(what);
	}
}

// A name that gives the invoker's own user id asks for nothing more than
// no -u at all, and needs no privilege.
static void take_target(const char *name)
{
	if (names_invoker(name, &invoker)) {
		memcpy(target_name, invoker.name, sizeof target_name);
		return;
	}
	check_privileged("u", name);
	if (find_target(name, target_name) != 0) {
		char what[login_name_size + 8];
		snprintf(what, sizeof what, "-u %s", name);
		refuse(what);
	}
}

static Mode choose(Mode mode, Mode wanted)
{
	if (mode != None)
		print_usage();
	return wanted;
}

// The operands, in the order they stand; only a lone one is ever used.
static const char *operand;
static int operand_count;

static void add_operand(const char *arg)
{
	if (operand_count++ == 0)
		operand = arg;
}

// Options act as they come, in command-line order; the last -u and -c win.
// A leading "-" in the option string hands back operands in their place, on
// every C library and whatever POSIXLY_CORRECT says, so that options after
// the operand are read too.
static Mode read_options(int argc, char **argv, const char **dir)
{
	Mode mode = None;
	opterr = 0;
	for (;;) {
		int at = optind;
		int c = getopt(argc, argv, "-ledru:c:");
		// Some C libraries stop at a lone "-" rather than hand it back.
		if (c == -1 && optind == at && optind < argc && strcmp(argv[optind], "-") == 0) {
			add_operand(argv[optind++]);
			continue;
		}
		if (c == -1)
			break;
		switch (c) {
		case 1:
			add_operand(optarg);
			break;
		case 'l':
			mode = choose(mode, List);
			break;
		case 'e':
			mode = choose(mode, Edit);
			break;
		case 'd':
		case 'r':
			mode = choose(mode, Delete);
			break;
		case 'u':
			take_target(optarg);
			break;
		case 'c':
			check_privileged("c", optarg);
			*dir = optarg;
			break;
		default:
			mode = None;
			break;
		}
	}
	// After "--" everything is an operand.
	while (optind < argc)
		add_operand(argv[optind++]);
	return mode;
}

// The operand counts only when no operation was chosen and it stands alone.
static Mode take_operand(Mode mode, const char **path)
{
	bool taken = false;
	if (mode == None && operand_count == 1) {
		if (operand[0] != '-') {
			mode = Replace;
			*path = operand;
			taken = true;
		} else if (strcmp(operand, "-") == 0) {
			mode = Replace;
			taken = true;
		}
	}
	if (mode == None || operand_count > (taken ? 1 : 0))
		print_usage();
	return mode;
}

// What this run does, for the system log: "edit crontab of alice". The
// records of a change start with who does it and this.
static void describe(Mode mode, const char *path)
{
	static const char *const verbs[] = {"", "edit", "list", "replace", "delete"};
	const char *from = mode != Replace   ? ""
			   : path != nullptr ? " from file "
					     : " from standard input";
	snprintf(action, sizeof action, "%s crontab of %s%s%s", verbs[mode], target_name, from,
		 path != nullptr ? path : "");
	record_subject("%s: %s", who, action);
}

// The change went on record before it was made; an outcome other than the
// one announced adds a record of its own.
[[noreturn]] static void conclude(int result, const char *outcome, bool announced)
{
	if (result < 0)
		fail();
	const char *said = diagnostics();
	if (!announced || said[0] != '\0')
		record(said[0] != '\0' ? LOG_WARNING : LOG_INFO, "%s%s%s", outcome,
		       said[0] != '\0' ? "; " : "", said);
	exit(0);
}

// The scheduler hears of every change tried, since a failed one may still
// have changed something.
[[noreturn]] static void finish(int result, const char *outcome, bool announced)
{
	notify_scheduler(target_name);
	conclude(result, outcome, announced);
}

[[noreturn]] static void run_replace(const Source *source, const Origin *origin)
{
	finish(install_crontab(target_name, source, origin, nullptr), "installed", true);
}

[[noreturn]] static void run_edit()
{
	LARGE_BUFFER static struct Edit edit;
	switch (edit_crontab(&invoker, target_name, &edit)) {
	case edit_failed:
		fail();
	case edit_unchanged:
		exit(0);
	case edit_kept:
		exit(1);
	case edit_changed:
		break;
	}
	int result = install_crontab(target_name, &edit.source, &edit.origin, edit.note);
	// A person who edits wants to know it took; a script that installs does not.
	if (result == 0)
		say("crontab of %s installed\n", target_name);
	// Whatever becomes of the edit's files, the change stands and is heard of.
	notify_scheduler(target_name);
	end_edit(&edit, result == 0);
	conclude(result, "installed", true);
}

[[noreturn]] static void run_delete()
{
	bool deleted;
	int result = delete_crontab(target_name, &deleted);
	finish(result, deleted ? "deleted" : "there was nothing to delete", deleted);
}

int main(int argc, char **argv)
{
#ifdef CRONTAB_SEAL_RELRO
	if (seal_relro() != 0) {
		log_message("mprotect: %s\n", strerror(errno));
		exit(1);
	}
#endif
	if (guard_standard_descriptors() != 0)
		_exit(1);
	// However the run ends, its last message ends its line.
	if (atexit(end_line) != 0)
		exit(1);
	identify_invoker();

	const char *crontab_dir = CRONTAB_DIR;
	const char *replacement_path = nullptr;
	Mode mode = read_options(argc, argv, &crontab_dir);
	mode = take_operand(mode, &replacement_path);
	describe(mode, replacement_path);
	if (invoker.uid != 0 && check_access(invoker.name) != 0)
		refuse(action);
	// Children get the caller's limit back; this process writes in full.
	if (mode != List) {
		lift_size_limit();
		take_root_group();
	}

	// Opened before entering the crontab directory, so that a relative path
	// means what it meant to the invoker.
	Source source = {0, -1, replacement_path, nullptr, 0};
	if (replacement_path != nullptr &&
	    (source.fd = open_as_user(&invoker, replacement_path, &source.reader)) < 0) {
		log_message("unable to read replacement file %s", replacement_path);
		fail();
	}
	store_at(crontab_dir);
	if (mode == List)
		exit(list_crontab(target_name) == 0 ? 0 : 1);
	if (enter_store() != 0)
		fail();
	if (mode == Delete)
		run_delete();
	if (mode == Edit)
		run_edit();
	run_replace(&source, nullptr);
}
