#include "as_user.h"

#include "identity.h"
#include "log.h"
#include "store.h"

#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <fcntl.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

static const char temp_template[] = "/tmp/crontab.XXXXXX";

// Children must be waited for to learn how they ended; a caller that
// started us with SIGCHLD ignored would have them reaped unseen.
static pid_t fork_child()
{
	if (signal(SIGCHLD, SIG_DFL) == SIG_ERR)
		return -1;
	return fork();
}

[[noreturn]] static void stream_file(const Invoker *invoker, const char *path, int out)
{
	if (become_user(invoker->name, invoker->uid, nullptr) < 0)
		_exit(1);
	int in = open(path, O_RDONLY);
	if (in < 0) {
		log_message("unable to open %s: %s", path, strerror(errno));
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

static int wait_child(pid_t pid)
{
	int status;
	while (waitpid(pid, &status, 0) < 0)
		if (errno != EINTR)
			return -1;
	return status;
}

int open_as_user(const Invoker *invoker, const char *path, pid_t *reader)
{
	int fds[2];
	if (pipe(fds) != 0) {
		log_message("pipe: %s\n", strerror(errno));
		return -1;
	}
	pid_t pid = fork_child();
	if (pid < 0) {
		log_message("fork: %s\n", strerror(errno));
		close(fds[0]);
		close(fds[1]);
		return -1;
	}
	if (pid == 0) {
		close(fds[0]);
		stream_file(invoker, path, fds[1]);
	}
	close(fds[1]);
	char byte;
	if (read(fds[0], &byte, 1) != 1) {
		close(fds[0]);
		wait_child(pid);
		return -1;
	}
	*reader = pid;
	return fds[0];
}

int finish_reader(pid_t reader)
{
	if (reader < 0)
		return 0;
	int status = wait_child(reader);
	return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : -1;
}

static const char *choose_editor()
{
	static const char *const names[] = {"EDITOR", "VISUAL"};
	for (const char *name : names) {
		const char *value = getenv(name);
		if (value != nullptr && strlen(value) <= 255)
			return value;
	}
	return "/usr/bin/vi";
}

[[noreturn]] static void exec_editor(const Invoker *invoker, const char *path)
{
	if (become_user(invoker->name, invoker->uid, "/tmp") < 0)
		_exit(1);
	char command[256];
	int len = snprintf(command, sizeof command, "%s %s", choose_editor(), path);
	if (len >= 0 && len < static_cast<int>(sizeof command))
		execl("/bin/sh", "/bin/sh", "-c", command, static_cast<char *>(nullptr));
	log_message("couldn't exec %s", command);
	_exit(1);
}

int run_editor(const Invoker *invoker, const char *path)
{
	pid_t pid = fork_child();
	if (pid < 0) {
		log_message("fork: %s\n", strerror(errno));
		return -1;
	}
	if (pid == 0)
		exec_editor(invoker, path);
	return wait_child(pid);
}

// The temporary file is the invoker's from the moment it exists to its
// removal: root never owns a file in /tmp, not even for an instant.
static bool use_invoker_files(bool invoker)
{
	uid_t uid = invoker ? getuid() : geteuid();
	gid_t gid = invoker ? getgid() : getegid();
	setfsgid(gid);
	setfsuid(uid);
	// An id that cannot be taken fails, and returns the one in force.
	return static_cast<uid_t>(setfsuid(static_cast<uid_t>(-1))) == uid &&
	       static_cast<gid_t>(setfsgid(static_cast<gid_t>(-1))) == gid;
}

static int create_temp(char (&path)[20])
{
	memcpy(path, temp_template, sizeof temp_template);
	int tmp = use_invoker_files(true) ? mkstemp(path) : (errno = EPERM, -1);
	int err = errno;
	if (!use_invoker_files(false)) {
		log_message("unable to regain the command's identity\n");
		_exit(1);
	}
	errno = err;
	return tmp;
}

// The editor may have removed the name already; that is no failure.
static void remove_temp(const char *path)
{
	bool as_invoker = use_invoker_files(true);
	if (as_invoker && unlink(path) != 0 && errno != ENOENT)
		log_message("unable to remove %s: %s\n", path, strerror(errno));
	if (!use_invoker_files(false) || !as_invoker) {
		log_message("unable to remove %s as its owner\n", path);
		_exit(1);
	}
}

// Only a crontab that does not exist means an empty start: editing a
// truncated copy would install the truncation.
static int copy_current(const char *dir, const char *name, int tmp, const char *path,
			Origin *origin)
{
	*origin = {};
	int in = open(name, O_RDONLY | O_CLOEXEC);
	if (in < 0 && errno == ENOENT)
		return 0;
	struct stat st;
	if (in >= 0 && fstat(in, &st) != 0) {
		close(in);
		in = -1;
	}
	if (in < 0) {
		log_message("unable to read %s/%s: %s\n", dir, name, strerror(errno));
		return -1;
	}
	*origin = {true, st.st_dev, st.st_ino, st.st_size, st.st_mtim};
	bool read_failed;
	int err = copy_fd(in, tmp, file_size_limit(), &read_failed);
	close(in);
	if (err == 0)
		return 0;
	if (read_failed)
		log_message("unable to read %s/%s: %s\n", dir, name, strerror(err));
	else
		log_message("unable to write %s: %s\n", path, strerror(err));
	return -1;
}

static int check_editor(int status)
{
	if (status < 0)
		return -1;
	if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
		log_message("editor exited with status %d, crontab unchanged\n",
			    WEXITSTATUS(status));
	else if (WIFSIGNALED(status))
		log_message("editor killed by signal %d, crontab unchanged\n", WTERMSIG(status));
	else
		return 0;
	return -1;
}

int edit_crontab(const Invoker *invoker, const char *dir, const char *name, char (&path)[20],
		 int *fd, pid_t *reader, Origin *origin)
{
	int tmp = create_temp(path);
	if (tmp < 0) {
		log_message("unable to create %s: %s", path, strerror(errno));
		return -1;
	}
	int copied = copy_current(dir, name, tmp, path, origin);
	if (close(tmp) != 0 && copied == 0) {
		log_message("unable to write %s: %s\n", path, strerror(errno));
		copied = -1;
	}
	if (copied != 0 || check_editor(run_editor(invoker, path)) != 0) {
		remove_temp(path);
		return -1;
	}
	// Read back by name and as the invoker: editors that save by renaming
	// leave a new file there, and the invoker must not read what they could not.
	*fd = open_as_user(invoker, path, reader);
	if (*fd < 0) {
		log_message("unable to read replacement file %s", path);
		remove_temp(path);
		return -1;
	}
	return 0;
}

void end_edit(const char *path, bool installed, const char *note)
{
	if (installed)
		remove_temp(path);
	else
		log_message("%s", note);
}
