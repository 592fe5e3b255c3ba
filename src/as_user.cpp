// What runs with the invoking user's identity. Every child takes every id
// of the invoker's, saved ones included, and the caller's file-size limit,
// before it touches a file or runs a program, or it ends at once; the
// parent only reads what a child sends and waits for it to end. Interrupts
// are the parent's: a child gets the default actions back.

#include "as_user.h"

#include "copy.h"
#include "interrupts.h"
#include "messages.h"
#include "record.h"
#include "size_limit.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// The editor's command line, as the shell is given it.
static const size_t command_size = 256;

static int set_user_environment(const passwd *pw)
{
	if (setenv("USER", pw->pw_name, 1) != 0 || setenv("LOGNAME", pw->pw_name, 1) != 0 ||
	    setenv("HOME", pw->pw_dir, 1) != 0 || setenv("SHELL", "/bin/sh", 1) != 0) {
		log_message("setenv failed: %s %s\n", pw->pw_name, strerror(errno));
		return -1;
	}
	return 0;
}

static int enter_home(const passwd *pw, const char *fallback_dir)
{
	if (chdir(pw->pw_dir) == 0)
		return 0;
	log_message("chdir failed: %s %s\n", pw->pw_name, pw->pw_dir);
	if (chdir(fallback_dir) == 0)
		return 0;
	log_message("chdir failed: %s %s\n", pw->pw_name, fallback_dir);
	return -1;
}

// Every id, saved ones included, must be the user's: nothing of root's may
// be left to regain.
static int check_switched(const passwd *pw)
{
	uid_t ruid = 0;
	uid_t euid = 0;
	uid_t suid = 0;
	gid_t rgid = 0;
	gid_t egid = 0;
	gid_t sgid = 0;
	if (getresuid(&ruid, &euid, &suid) == 0 && getresgid(&rgid, &egid, &sgid) == 0 &&
	    ruid == pw->pw_uid && euid == pw->pw_uid && suid == pw->pw_uid && rgid == pw->pw_gid &&
	    egid == pw->pw_gid && sgid == pw->pw_gid)
		return 0;
	log_message("identity switch incomplete: %s %u\n", pw->pw_name,
		    static_cast<unsigned>(pw->pw_uid));
	return -1;
}

int become_user(const Invoker *invoker, const char *fallback_dir)
{
	const char *name = invoker->name;
	const passwd *pw = getpwnam(name);
	if (pw == nullptr || pw->pw_uid != invoker->uid) {
		log_message("failed to get uid for %s\n", name);
		return -1;
	}
	if (set_user_environment(pw) != 0)
		return -1;
	if (restore_size_limit() != 0) {
		log_message("setrlimit failed: %s %s\n", name, strerror(errno));
		return -1;
	}
	// Groups first: once the user id is given up, they can no longer be set.
	if (initgroups(name, pw->pw_gid) != 0) {
		log_message("initgroups failed: %s %s%s\n", name, strerror(errno),
			    lacking_root(errno));
		return -1;
	}
	if (setregid(pw->pw_gid, pw->pw_gid) != 0) {
		log_message("setregid failed: %s %u\n", name, static_cast<unsigned>(pw->pw_gid));
		return -1;
	}
	if (setreuid(pw->pw_uid, pw->pw_uid) != 0) {
		log_message("setreuid failed: %s %u\n", name, static_cast<unsigned>(pw->pw_uid));
		return -1;
	}
	if (check_switched(pw) != 0)
		return -1;
	if (fallback_dir != nullptr && enter_home(pw, fallback_dir) != 0)
		return -1;
	return 0;
}

// Children must be waited for to learn how they ended; a caller that
// started us with SIGCHLD ignored would have them reaped unseen. A child
// acts for the user: what an interrupt does to this run is not its.
// Interrupts are left blocked in the parent, as *old says how to unblock.
static pid_t fork_child(sigset_t *old)
{
	if (signal(SIGCHLD, SIG_DFL) == SIG_ERR)
		return -1;
	block_interrupts(old);
	pid_t pid = fork();
	if (pid == 0)
		default_interrupts();
	return pid;
}

static int wait_child(pid_t pid)
{
	int status;
	while (waitpid(pid, &status, 0) < 0)
		if (errno != EINTR)
			return -1;
	return status;
}

// An edit's file is read back only when it is still a plain file of the
// invoker's: nothing another user made, no device or FIFO to hang on.
static bool own_regular_file(int fd, const Invoker *invoker)
{
	struct stat st;
	return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == invoker->uid;
}

[[noreturn]] static void stream_file(const Invoker *invoker, const char *path, int out,
				     bool own_file)
{
	if (become_user(invoker, nullptr) != 0)
		_exit(1);
	int in = open(path, own_file ? O_RDONLY | O_NOFOLLOW | O_NONBLOCK : O_RDONLY);
	if (in < 0) {
		log_message("unable to open %s: %s", path, strerror(errno));
		_exit(1);
	}
	if (own_file && !own_regular_file(in, invoker)) {
		log_message("unable to open %s: not a regular file owned by %s", path,
			    invoker->name);
		_exit(1);
	}
	// The handshake tells the parent the file opened before any content.
	const char handshake = 0;
	if (write(out, &handshake, 1) != 1)
		_exit(1);
	bool read_failed;
	int err = copy_fd(in, out, LLONG_MAX, &read_failed);
	if (err != 0 && read_failed)
		log_message("unable to read %s: %s", path, strerror(err));
	_exit(err == 0 ? 0 : 1);
}

long long read_as_user(const Invoker *invoker, const char *path, bool own_file, char *buf,
		       long long size, bool *opened)
{
	*opened = false;
	int fds[2];
	if (pipe(fds) != 0) {
		report_call("pipe");
		log_message("unable to read replacement file %s", path);
		return -1;
	}
	sigset_t old;
	pid_t pid = fork_child(&old);
	if (pid == 0) {
		close(fds[0]);
		stream_file(invoker, path, fds[1], own_file);
	}
	unblock_interrupts(&old);
	close(fds[1]);
	if (pid < 0)
		report_call("fork");
	char byte;
	*opened = pid > 0 && read(fds[0], &byte, 1) == 1;
	long long got = 0;
	int err = *opened ? read_into(fds[0], buf, size, &got) : 0;
	// Closed first, so that a child still writing sees a broken pipe and ends.
	close(fds[0]);
	int status = pid > 0 ? wait_child(pid) : -1;
	bool whole = status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
	if (got == size || (*opened && err == 0 && whole))
		return got;
	log_message("unable to read replacement file %s", path);
	return -1;
}

static const char *choose_editor()
{
	static const char *const names[] = {"EDITOR", "VISUAL"};
	for (const char *name : names) {
		const char *value = getenv(name);
		if (value != nullptr && strlen(value) < command_size)
			return value;
	}
	return "/usr/bin/vi";
}

[[noreturn]] static void exec_editor(const Invoker *invoker, const char *path)
{
	if (become_user(invoker, "/tmp") != 0)
		_exit(1);
	char command[command_size];
	int len = snprintf(command, sizeof command, "%s %s", choose_editor(), path);
	if (len >= 0 && len < static_cast<int>(sizeof command))
		execl("/bin/sh", "/bin/sh", "-c", command, static_cast<char *>(nullptr));
	log_message("couldn't exec %s", command);
	_exit(1);
}

// The editor has the terminal, as system(3) gives it: the terminal's
// interrupt and quit keys are the editor's to take, or to die of, while
// this run waits.
int run_editor(const Invoker *invoker, const char *path)
{
	sigset_t old;
	pid_t pid = fork_child(&old);
	if (pid == 0)
		exec_editor(invoker, path);
	if (pid > 0)
		pass_terminal_interrupts(true);
	unblock_interrupts(&old);
	if (pid < 0) {
		report_call("fork");
		return -1;
	}
	int status = wait_child(pid);
	block_interrupts(&old);
	pass_terminal_interrupts(false);
	unblock_interrupts(&old);
	return status;
}

bool use_invoker_files(bool as_invoker)
{
	uid_t uid = as_invoker ? getuid() : geteuid();
	gid_t gid = as_invoker ? getgid() : getegid();
	setfsgid(gid);
	setfsuid(uid);
	// An id that cannot be taken fails, and returns the one in force.
	return static_cast<uid_t>(setfsuid(static_cast<uid_t>(-1))) == uid &&
	       static_cast<gid_t>(setfsgid(static_cast<gid_t>(-1))) == gid;
}
