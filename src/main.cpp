#include "as_user.h"
#include "log.h"
#include "store.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <unistd.h>

#ifndef CRONTAB_DIR
#define CRONTAB_DIR "/etc/crontabs"
#endif

enum Mode { None = 0, Edit = 1, List = 2, Replace = 3, Delete = 4 };

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

// Children must be waited for to learn how they ended; a caller that
// started us with SIGCHLD ignored would have them reaped unseen.
static void restore_child_signal()
{
	if (signal(SIGCHLD, SIG_DFL) == SIG_ERR)
		_exit(1);
}

static void check_privileged(const char *option, const char *arg)
{
	if (arg[0] == '\0' || getuid() != geteuid()) {
		log_message("-%s option: superuser only", option);
		exit(1);
	}
}

static const passwd *lookup_target(const char *name)
{
	const passwd *pw = getpwnam(name);
	if (pw == nullptr) {
		log_message("user '%s' unknown", name);
		exit(1);
	}
	// The crontab is named after the name the id maps to, so that two names
	// sharing one id share one crontab.
	pw = getpwuid(pw->pw_uid);
	if (pw == nullptr) {
		perror("getpwuid");
		exit(1);
	}
	return pw;
}

static Mode choose(Mode mode, Mode wanted)
{
	if (mode != None)
		print_usage();
	return wanted;
}

// Options act as they come, in command-line order; the last -u and -c win.
static Mode read_options(int argc, char **argv, const passwd **target, const char **dir)
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
			*target = lookup_target(optarg);
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

int main(int argc, char **argv)
{
	guard_standard_descriptors();
	restore_child_signal();

	const passwd *pw = getpwuid(getuid());
	if (pw == nullptr) {
		perror("getpwuid");
		exit(1);
	}
	char invoker_name[256];
	if (snprintf(invoker_name, sizeof invoker_name, "%s", pw->pw_name) >=
	    static_cast<int>(sizeof invoker_name)) {
		log_message("username '%s' too long", invoker_name);
		exit(1);
	}
	const passwd *target_pw = pw;
	const char *crontab_dir = CRONTAB_DIR;
	const char *replacement_path = nullptr;
	int replacement_fd = 0;
	pid_t reader = -1;

	Mode mode = read_options(argc, argv, &target_pw, &crontab_dir);
	mode = take_operand(mode, argc, argv, &replacement_path);

	// Opened before entering the crontab directory, so that a relative path
	// means what it meant to the invoker.
	if (replacement_path != nullptr) {
		replacement_fd = open_as_user(invoker_name, replacement_path, &reader);
		if (replacement_fd < 0) {
			log_message("unable to read replacement file %s", replacement_path);
			exit(1);
		}
	}
	if (chdir(crontab_dir) != 0) {
		log_message("cannot change dir to %s: %s", crontab_dir, strerror(errno));
		exit(1);
	}

	char temp_path[20];
	int result = 0;
	if (mode == Edit) {
		edit_crontab(invoker_name, crontab_dir, target_pw, temp_path, &replacement_fd,
			     &reader);
		replacement_path = temp_path;
		mode = Replace;
	}
	if (mode == List)
		result = list_crontab(crontab_dir, target_pw);
	else if (mode == Replace)
		result = install_crontab(crontab_dir, target_pw, replacement_fd, reader,
					 replacement_path);
	else if (mode == Delete)
		result = delete_crontab(crontab_dir, target_pw);
	if (mode == Replace || mode == Delete)
		notify_scheduler(crontab_dir, target_pw);
	exit(result == 0 ? 0 : 1);
}
