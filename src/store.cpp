#include "store.h"

#include "log.h"

#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <syslog.h>
#include <string.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef CRONTAB_MAX_SIZE
#define CRONTAB_MAX_SIZE 1048576
#endif

static const char update_file[] = "cron.update";
static const char staging_suffix[] = ".new";

// Longest name whose staging name still fits in a file name uncut.
static const size_t max_name = 255 - (sizeof staging_suffix - 1);

const char *unsafe_name(const char *name)
{
	size_t len = strlen(name);
	if (len > max_name)
		return "longer than 251 bytes";
	if (len == 0 || strcmp(name, ".") == 0 || strcmp(name, "..") == 0 ||
	    strcmp(name, update_file) == 0)
		return "it names no file of its own in the crontab directory";
	if (len >= sizeof staging_suffix - 1 &&
	    strcmp(name + len - (sizeof staging_suffix - 1), staging_suffix) == 0)
		return "it ends in \".new\", as staging files do";
	for (const char *p = name; *p != '\0'; p++)
		if (*p == '/' || static_cast<unsigned char>(*p) < 0x20 || *p == 0x7f)
			return "it contains '/' or a control character";
	return nullptr;
}

long long file_size_limit()
{
	rlimit rl;
	if (getrlimit(RLIMIT_FSIZE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY ||
	    rl.rlim_cur > static_cast<rlim_t>(LLONG_MAX))
		return LLONG_MAX;
	return static_cast<long long>(rl.rlim_cur);
}

static int write_all(int out, const char *buf, size_t n)
{
	while (n > 0) {
		ssize_t w = write(out, buf, n);
		if (w < 0 && errno == EINTR)
			continue;
		if (w <= 0)
			return w < 0 ? errno : ENOSPC;
		buf += w;
		n -= static_cast<size_t>(w);
	}
	return 0;
}

int copy_fd(int in, int out, long long limit, bool *read_failed, long long *copied)
{
	// Large blocks keep an install of a full-size crontab to a few hundred calls.
	static char buf[65536];
	long long total = 0;
	*read_failed = false;
	for (;;) {
		ssize_t n = read(in, buf, sizeof buf);
		if (n == 0)
			break;
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0) {
			*read_failed = true;
			return errno;
		}
		total += n;
		// Checked before writing: a write that a file-size limit would cut
		// fails cleanly instead of raising SIGXFSZ halfway.
		if (total > limit)
			return EFBIG;
		int err = write_all(out, buf, static_cast<size_t>(n));
		if (err != 0)
			return err;
	}
	if (copied != nullptr)
		*copied += total;
	return 0;
}

// A listing opens the crontab by its full path, sparing the change of
// directory that nothing else needs; only a failure asks whether it was
// the directory that failed.
int list_crontab(const char *dir, const char *name)
{
	char path[4096 + 256];
	int len = snprintf(path, sizeof path, "%s/%s", dir, name);
	int in = len < static_cast<int>(sizeof path) ? open(path, O_RDONLY | O_CLOEXEC) : -1;
	if (in < 0 && chdir(dir) != 0) {
		log_message("cannot change dir to %s: %s", dir, strerror(errno));
		return -1;
	}
	if (in < 0 && (in = open(name, O_RDONLY | O_CLOEXEC)) < 0) {
		log_message("no crontab for %s\n", name);
		return -1;
	}
	bool read_failed;
	int err = copy_fd(in, 1, LLONG_MAX, &read_failed);
	if (err == 0)
		return 0;
	log_message("unable to list %s/%s: %s\n", dir, name, strerror(err));
	return -1;
}

// The staging file of this process, for the interrupt handler: it removes
// the name only while this process holds the file's lock.
static char staging_path[256];
static volatile sig_atomic_t staging_held;
static int staging_lock = -1;
static const char *interrupt_note = "";
static const int interrupts[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM,   SIGALRM, SIGUSR1,
				 SIGUSR2, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF};

static void on_interrupt(int /*sig*/)
{
	static const char message[] = "install interrupted, crontab unchanged\n";
	if (staging_held)
		unlink(staging_path);
	(void)!write(2, message, sizeof message - 1);
	(void)!write(2, interrupt_note, strlen(interrupt_note));
	_exit(1);
}

void set_interrupt_note(const char *note)
{
	interrupt_note = note;
}

static sigset_t interrupt_set()
{
	sigset_t set;
	sigemptyset(&set);
	for (int sig : interrupts)
		sigaddset(&set, sig);
	return set;
}

static void catch_interrupts()
{
	struct sigaction sa = {};
	sa.sa_handler = on_interrupt;
	sa.sa_mask = interrupt_set();
	for (int sig : interrupts)
		sigaction(sig, &sa, nullptr);
}

// From here on the name is given up: a late signal must not remove a
// staging file that another install has created under it meanwhile.
static void release_staging()
{
	sigset_t set = interrupt_set();
	sigprocmask(SIG_BLOCK, &set, nullptr);
	staging_held = 0;
}

static bool names_file(int fd, const char *name)
{
	struct stat by_fd;
	struct stat by_name;
	return fstat(fd, &by_fd) == 0 && lstat(name, &by_name) == 0 && S_ISREG(by_fd.st_mode) &&
	       by_fd.st_dev == by_name.st_dev && by_fd.st_ino == by_name.st_ino;
}

// A staging file is in use exactly while its install holds the lock on it.
// A name is removed or renamed only by the holder of the lock on the file
// it names, so a file found locked and still named is ours alone.
static bool hold(int fd)
{
	if (flock(fd, LOCK_EX | LOCK_NB) != 0 || !names_file(fd, staging_path))
		return false;
	staging_held = 1;
	return true;
}

// Removes a staging file whose install died. Returns 0 when the name is
// free to try again, -1 with errno set when it is not.
static int remove_abandoned()
{
	int fd = open(staging_path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0)
		return errno == ENOENT ? 0 : (errno = EEXIST, -1);
	// A file renamed or removed meanwhile is no longer in the way.
	bool freed = flock(fd, LOCK_EX | LOCK_NB) == 0 &&
		     (!names_file(fd, staging_path) || unlink(staging_path) == 0);
	close(fd);
	errno = EEXIST;
	return freed ? 0 : -1;
}

int open_staging(const char *dir, const char *name)
{
	snprintf(staging_path, sizeof staging_path, "%s%s", name, staging_suffix);
	catch_interrupts();
	int out = -1;
	for (int attempt = 0; attempt < 3 && out < 0; attempt++) {
		out = open(staging_path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
		if (out >= 0 && !hold(out)) {
			// Taken over before we locked it: another install is under way,
			// and the name is now its, not ours to remove.
			close(out);
			out = -1;
			errno = EEXIST;
			break;
		}
		if (out < 0 && (errno != EEXIST || remove_abandoned() != 0))
			break;
	}
	// The lock lives on in a second descriptor, so that the staging file
	// can be closed, and its close checked, before the rename.
	if (out >= 0 && (staging_lock = fcntl(out, F_DUPFD_CLOEXEC, 0)) < 0) {
		int err = errno;
		discard_staging(dir, out);
		errno = err;
		out = -1;
	}
	if (out < 0)
		log_message("unable to create %s/%s: %s\n", dir, staging_path, strerror(errno));
	return out;
}

// Copies the new crontab into the staging file and makes it durable.
// Returns 0 or an error number.
int fill_staging(int staging, int in, long long *copied)
{
	long long limit = file_size_limit();
	if (limit > CRONTAB_MAX_SIZE)
		limit = CRONTAB_MAX_SIZE;
	bool read_failed;
	int err = copy_fd(in, staging, limit, &read_failed, copied);
	if (err == 0 && fsync(staging) != 0)
		err = errno;
	return err;
}

void discard_staging(const char *dir, int staging)
{
	release_staging();
	close(staging);
	if (unlink(staging_path) != 0)
		log_message("unable to remove %s/%s: %s\n", dir, staging_path, strerror(errno));
	close(staging_lock);
}

static bool same_origin(const char *name, const Origin *origin)
{
	struct stat st;
	if (lstat(name, &st) != 0)
		return errno == ENOENT && !origin->existed;
	return origin->existed && st.st_dev == origin->dev && st.st_ino == origin->ino &&
	       st.st_size == origin->size && st.st_mtim.tv_sec == origin->mtime.tv_sec &&
	       st.st_mtim.tv_nsec == origin->mtime.tv_nsec;
}

// A rename is only durable once the directory that records it is.
static int sync_directory()
{
	int fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (fd < 0)
		return errno;
	int err = fsync(fd) == 0 || errno == EINVAL ? 0 : errno;
	close(fd);
	return err;
}

int commit_staging(const char *dir, const char *name, int staging, const Origin *origin)
{
	if (origin != nullptr && !same_origin(name, origin)) {
		discard_staging(dir, staging);
		log_message("%s/%s changed during the edit; not installed\n", dir, name);
		return -1;
	}
	int err = close(staging) == 0 ? 0 : errno;
	release_staging();
	// Only the holder of the file a name names may rename it; checked again
	// here so that no slip elsewhere can put another install's file in place.
	bool ours = err != 0 || names_file(staging_lock, staging_path);
	if (!ours)
		err = EEXIST;
	// On record before it takes effect: a limit or a kill that stops the
	// record stops the change with it.
	struct stat st;
	if (err == 0 && fstat(staging_lock, &st) != 0)
		err = errno;
	if (err == 0 && record(LOG_INFO, "installing %lld bytes", static_cast<long long>(st.st_size)) != 0) {
		log_message("unable to write to the system log: %s\n", strerror(errno));
		err = EIO;
	}
	if (err == 0 && rename(staging_path, name) != 0)
		err = errno;
	if (err != 0) {
		if (ours && unlink(staging_path) != 0)
			log_message("unable to remove %s/%s: %s\n", dir, staging_path,
				    strerror(errno));
		close(staging_lock);
		log_message("unable to install %s/%s: %s\n", dir, name, strerror(err));
		return -1;
	}
	err = sync_directory();
	close(staging_lock);
	if (err == 0)
		return 0;
	log_message("unable to sync %s: %s\n", dir, strerror(err));
	return -1;
}

int delete_crontab(const char *dir, const char *name)
{
	struct stat st;
	int err = lstat(name, &st) == 0 ? 0 : errno;
	if (err == ENOENT)
		return 0;
	// Only a file or a link is a crontab to delete, never a directory.
	if (err != 0)
		;
	else if (S_ISDIR(st.st_mode))
		err = EISDIR;
	else if (record(LOG_INFO, "deleting") != 0)
		log_message("unable to write to the system log: %s\n", strerror(errno));
	else if (unlink(name) != 0)
		err = errno;
	else
		return 1;
	// A crontab that is not there is already deleted.
	if (err == ENOENT)
		return 0;
	if (err != 0)
		log_message("unable to delete %s/%s: %s\n", dir, name, strerror(err));
	return -1;
}

// Appends the line in one write. Returns 1 when it landed in a linked file,
// 0 when the file was unlinked meanwhile and it must be written again, -1
// on error.
static int append_line(const char *line, size_t len, long long limit)
{
	// Not 0666: the caller's file-creation mask must not be able to make a
	// file of root's writable by everyone.
	int fd = open(update_file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
	if (fd < 0)
		return -1;
	struct stat st;
	int landed = -1;
	// A line the file-size limit would cut is not begun: a fragment would
	// merge with the next name. The lock keeps another install of ours from
	// appending between the look and the write.
	if (limit != LLONG_MAX && (flock(fd, LOCK_EX) != 0 || fstat(fd, &st) != 0 ||
				   st.st_size + static_cast<off_t>(len) > limit))
		landed = -1;
	else if (write(fd, line, len) == static_cast<ssize_t>(len))
		// A failed status query leaves the line where it was written.
		landed = fstat(fd, &st) != 0 || st.st_nlink != 0 ? 1 : 0;
	if (close(fd) != 0)
		landed = -1;
	return landed;
}

void notify_scheduler(const char *dir, const char *name)
{
	char line[256];
	int len = snprintf(line, sizeof line, "%s\n", name);
	long long limit = file_size_limit();
	// The scheduler may unlink the update file at any moment; a line is only
	// seen when it lands in a file that is still linked.
	int landed;
	while ((landed = append_line(line, static_cast<size_t>(len), limit)) == 0)
		;
	if (landed < 0)
		log_message("unable to append to %s/%s\n", dir, update_file);
}
