#include "access.h"
#include "as_user.h"
#include "identity.h"
#include "log.h"
#include "store.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <syslog.h>
#include <unistd.h>

#ifndef CRONTAB_DIR
#define CRONTAB_DIR "/etc/crontabs"
#endif

enum Mode { None = 0, Edit = 1, List = 2, Replace = 3, Delete = 4 };

static Invoker invoker;
static uid_t effective_uid;
static char target_name[256];
// Who runs this, and what it does, for the system log: "alice (uid 2001)"
// and "edit crontab of alice".
static char who[300];
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

// A caller may start us with 0, 1 or 2 closed; a file we open must not take
// one of those numbers and receive output meant for the terminal. The
// stand-ins face the wrong way, so using them fails as a closed one would.
static void guard_standard_descriptors()
{
	pollfd fds[3] = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}};
	if (poll(fds, 3, 0) < 0)
		_exit(1);
	for (int fd = 0; fd <= 2; fd++) {
		if ((fds[fd].revents & POLLNVAL) == 0)
			continue;
		if (open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY) != fd)
			_exit(1);
	}
}

// Every refusal is on record, with what was said on standard error. what
// names the refused option or operation, or is empty.
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

// A name that is unsafe as a file name, or that the user database gives
// to another user id too, must not name a crontab: root would write where
// the name leads, or act for the other user. The superuser's own name
// gains nobody anything.
static void check_name(const char *name, uid_t uid, const char *what)
{
	const char *why = unsafe_name(name);
	if (why != nullptr) {
		char safe[1024];
		log_message("login name '%s' cannot name a crontab: %s\n",
			    escape(name, safe, sizeof safe), why);
		refuse(what);
	}
	if (uid != 0 && check_unambiguous(name, uid) != 0)
		refuse(what);
}

// Copies a login name; names too long for the buffer are refused as they
// always were.
static void take_name(char (&name)[256], const passwd *pw, const char *what)
{
	if (snprintf(name, sizeof name, "%s", pw->pw_name) >= static_cast<int>(sizeof name)) {
		char safe[1024];
		log_message("username '%s' too long", escape(name, safe, sizeof safe));
		refuse(what);
	}
	check_name(name, pw->pw_uid, what);
}

// The invoker is whoever the real user id is, and only that user.
static void identify_invoker()
{
	uid_t saved_uid;
	if (getresuid(&invoker.uid, &effective_uid, &saved_uid) != 0) {
		log_message("getresuid: %s\n", strerror(errno));
		exit(1);
	}
	const passwd *pw = getpwuid(invoker.uid);
	snprintf(who, sizeof who, "(uid %d)", static_cast<int>(invoker.uid));
	if (pw == nullptr) {
		log_message("getpwuid: %s\n", strerror(errno));
		record_subject("%s", who);
		record(LOG_WARNING, "refused: no user database entry; %s", diagnostics());
		exit(1);
	}
	// The name as the buffer holds it, as the refusal of a long one shows it.
	snprintf(who, sizeof who, "%.255s (uid %d)", pw->pw_name, static_cast<int>(invoker.uid));
	take_name(invoker.name, pw, "");
	memcpy(target_name, invoker.name, sizeof target_name);
}

static void check_privileged(const char *option, const char *arg)
{
	if (arg[0] == '\0' || invoker.uid != effective_uid) {
		char what[300];
		snprintf(what, sizeof what, "-%s %s", option, arg);
		log_message("-%s option: superuser only", option);
		refuse(what);
	}
}

static void lookup_target(const char *name)
{
	char what[300];
	snprintf(what, sizeof what, "-u %s", name);
	const passwd *pw = getpwnam(name);
	if (pw == nullptr) {
		log_message("user '%s' unknown", name);
		refuse(what);
	}
	// The crontab is named after the name the id maps to, so that two names
	// sharing one id share one crontab.
	pw = getpwuid(pw->pw_uid);
	if (pw == nullptr) {
		log_message("getpwuid: %s\n", strerror(errno));
		refuse(what);
	}
	take_name(target_name, pw, what);
}

static Mode choose(Mode mode, Mode wanted)
{
	if (mode != None)
		print_usage();
	return wanted;
}

// Options act as they come, in command-line order; the last -u and -c win.
static Mode read_options(int argc, char **argv, const char **dir)
{
	Mode mode = None;
	opterr = 0;
	int c;
	while ((c = getopt(argc, argv, "ledu:c:")) != -1) {
		switch (c) {
		case 'l':
			mode = choose(mode, List);
			break;
		case 'e':
			mode = choose(mode, Edit);
			break;
		case 'd':
			mode = choose(mode, Delete);
			break;
		case 'u':
			check_privileged("u", optarg);
			lookup_target(optarg);
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
	return mode;
}

// The operand counts only when no operation was chosen and it stands alone.
static Mode take_operand(Mode mode, int argc, char **argv, const char **path)
{
	if (mode == None && argc - 1 == optind) {
		if (argv[optind][0] != '-') {
			mode = Replace;
			*path = argv[optind++];
		} else if (strcmp(argv[optind], "-") == 0) {
			mode = Replace;
			optind++;
		}
	}
	if (mode == None || optind < argc)
		print_usage();
	return mode;
}

static void describe(Mode mode, const char *path)
{
	static const char *const verbs[] = {"", "edit", "list", "replace", "delete"};
	int len = snprintf(action, sizeof action, "%s crontab of %s", verbs[mode], target_name);
	if (mode == Replace && len > 0 && len < static_cast<int>(sizeof action))
		snprintf(action + len, sizeof action - static_cast<size_t>(len), " from %s%s",
			 path != nullptr ? "file " : "standard input", path != nullptr ? path : "");
}

// The new crontab from fd, fed by reader when that is not -1, goes in
// through a staging file of its own, or not at all.
static int install(const char *dir, int fd, pid_t reader, const char *source, const Origin *origin)
{
	int staging = open_staging(dir, target_name);
	if (staging < 0) {
		close(fd);
		finish_reader(reader);
		return -1;
	}
	int err = fill_staging(staging, fd, nullptr);
	// Closing first lets a reader still writing see a broken pipe and end.
	close(fd);
	if (finish_reader(reader) != 0 && err == 0) {
		discard_staging(dir, staging);
		log_message("unable to read replacement file %s", source);
		return -1;
	}
	if (err == 0)
		return commit_staging(dir, target_name, staging, origin);
	discard_staging(dir, staging);
	log_message("unable to install %s/%s: %s\n", dir, target_name, strerror(err));
	return -1;
}

// The scheduler hears of every change tried, since a failed one may still
// have changed something. The change went on record before it was made;
// an outcome other than the one announced adds a record of its own.
[[noreturn]] static void finish(const char *dir, int result, const char *outcome, bool announced)
{
	notify_scheduler(dir, target_name);
	if (result < 0)
		fail();
	const char *said = diagnostics();
	if (!announced || said[0] != '\0')
		record(said[0] != '\0' ? LOG_WARNING : LOG_INFO, "%s%s%s", outcome,
		       said[0] != '\0' ? "; " : "", said);
	exit(0);
}

// Where a kept edit is, and the command that installs it later.
static void kept_note(char (&note)[8192], const char *path, const char *dir)
{
	char options[4096 + 300] = "";
	if (strcmp(dir, CRONTAB_DIR) != 0)
		snprintf(options, sizeof options, "-c %s ", dir);
	if (strcmp(target_name, invoker.name) != 0) {
		size_t len = strlen(options);
		snprintf(options + len, sizeof options - len, "-u %s ", target_name);
	}
	snprintf(note, sizeof note,
		 "the edited crontab is kept in %s; install it with: crontab %s%s\n", path, options,
		 path);
}

[[noreturn]] static void replace(Mode mode, const char *dir, int fd, pid_t reader,
				 const char *source, const Origin *origin)
{
	static char note[8192];
	if (mode == Edit) {
		kept_note(note, source, dir);
		set_interrupt_note(note);
	}
	int result = install(dir, fd, reader, source, origin);
	if (mode == Edit)
		end_edit(source, result == 0, note);
	finish(dir, result, "installed", true);
}

int main(int argc, char **argv)
{
	guard_standard_descriptors();
	identify_invoker();

	const char *crontab_dir = CRONTAB_DIR;
	const char *replacement_path = nullptr;
	Mode mode = read_options(argc, argv, &crontab_dir);
	mode = take_operand(mode, argc, argv, &replacement_path);
	describe(mode, replacement_path);
	record_subject("%s: %s", who, action);
	if (invoker.uid != 0 && check_access(invoker.name) != 0)
		refuse(action);
	// Children get the caller's limit back; this process writes in full.
	if (mode != List)
		lift_file_size_limit();

	int replacement_fd = 0;
	pid_t reader = -1;
	// Opened before entering the crontab directory, so that a relative path
	// means what it meant to the invoker.
	if (replacement_path != nullptr &&
	    (replacement_fd = open_as_user(&invoker, replacement_path, &reader)) < 0) {
		log_message("unable to read replacement file %s", replacement_path);
		fail();
	}
	if (mode == List)
		exit(list_crontab(crontab_dir, target_name) == 0 ? 0 : 1);
	if (chdir(crontab_dir) != 0) {
		log_message("cannot change dir to %s: %s", crontab_dir, strerror(errno));
		fail();
	}
	if (mode == Delete) {
		int deleted = delete_crontab(crontab_dir, target_name);
		finish(crontab_dir, deleted, deleted > 0 ? "deleted" : "there was nothing to delete",
		       deleted > 0);
	}
	if (mode == Edit) {
		char temp_path[20];
		Origin origin;
		if (edit_crontab(&invoker, crontab_dir, target_name, temp_path, &replacement_fd,
				 &reader, &origin) != 0)
			fail();
		replace(mode, crontab_dir, replacement_fd, reader, temp_path, &origin);
	}
	replace(mode, crontab_dir, replacement_fd, reader, replacement_path, nullptr);
}
