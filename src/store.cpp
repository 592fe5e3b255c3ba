#include "store.h"

#include "copy.h"
#include "log.h"
#include "size_limit.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

static const char update_file[] = "cron.update";
// How long an append waits for the update file's lock: 100 times 20 ms.
static const int lock_tries = 100;
static const useconds_t lock_pause_us = 20000;

static const char *directory;

void store_at(const char *dir)
{
	directory = dir;
}

const char *store_dir()
{
	return directory;
}

int enter_store()
{
	if (chdir(directory) == 0)
		return 0;
	log_message("cannot change dir to %s: %s", directory, strerror(errno));
	return -1;
}

// A listing opens the crontab by its full path, sparing the change of
// directory that nothing else needs; only a failure asks whether it was
// the directory that failed. openat, since some C libraries follow an
// open with O_CLOEXEC by an fcntl that openat does without.
int list_crontab(const char *name)
{
	char path[PATH_MAX + NAME_MAX + 1];
	int len = snprintf(path, sizeof path, "%s/%s", directory, name);
	int in = len < static_cast<int>(sizeof path)
			 ? openat(AT_FDCWD, path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC)
			 : -1;
	if (in < 0 && enter_store() != 0)
		return -1;
	if (in < 0 && (in = open(name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC)) < 0) {
		log_message("no crontab for %s\n", name);
		return -1;
	}
	bool read_failed;
	int err = copy_fd(in, 1, LLONG_MAX, &read_failed);
	if (err == 0)
		return 0;
	log_message("unable to list %s/%s: %s\n", directory, name, strerror(err));
	return -1;
}

// Only a file or a link is a crontab to delete, never a directory.
static int remove_crontab(const char *name)
{
	struct stat st;
	if (lstat(name, &st) != 0)
		return errno;
	if (S_ISDIR(st.st_mode))
		return EISDIR;
	if (record(LOG_INFO, "deleting") != 0) {
		log_message("unable to write to the system log: %s\n", strerror(errno));
		return -1;
	}
	return unlink(name) == 0 ? 0 : errno;
}

int delete_crontab(const char *name, bool *deleted)
{
	int err = remove_crontab(name);
	*deleted = err == 0;
	// A crontab that is not there is already deleted.
	if (err == 0 || err == ENOENT)
		return 0;
	if (err > 0)
		log_message("unable to delete %s/%s: %s\n", directory, name, strerror(err));
	return -1;
}

// The update file tells who changes crontabs: nobody's business but the
// scheduler's. Only root may open it, so only root can hold its lock.
static int open_update_file()
{
	int fd = open(update_file, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
	struct stat st;
	if (fd >= 0 && fstat(fd, &st) == 0 && (st.st_mode & 077) != 0 && fchmod(fd, 0600) != 0) {
		close(fd);
		return -1;
	}
	return fd;
}

// An older file may still be open elsewhere with its lock held: the lock
// is waited for a bounded time only.
static int lock_briefly(int fd)
{
	for (int tries = 0; tries < lock_tries; tries++) {
		if (flock(fd, LOCK_EX | LOCK_NB) == 0)
			return 0;
		if (errno != EWOULDBLOCK && errno != EINTR)
			return -1;
		usleep(lock_pause_us);
	}
	return -1;
}

// Appends the line in one write. Returns 1 when it landed in a linked file,
// 0 when the file was unlinked meanwhile and it must be written again, -1
// on error.
static int append_line(const char *line, size_t len, long long limit)
{
	int fd = open_update_file();
	if (fd < 0)
		return -1;
	struct stat st;
	int landed = -1;
	// A line the file-size limit would cut is not begun: a fragment would
	// merge with the next name. The lock keeps another install of ours from
	// appending between the look and the write.
	if (limit != LLONG_MAX && (lock_briefly(fd) != 0 || fstat(fd, &st) != 0 ||
				   st.st_size + static_cast<off_t>(len) > limit))
		landed = -1;
	else if (write(fd, line, len) == static_cast<ssize_t>(len))
		// A failed status query leaves the line where it was written.
		landed = fstat(fd, &st) != 0 || st.st_nlink != 0 ? 1 : 0;
	if (close(fd) != 0)
		landed = -1;
	return landed;
}

int notify_scheduler(const char *name)
{
	char line[NAME_MAX + 2];
	int len = snprintf(line, sizeof line, "%s\n", name);
	long long limit = size_room();
	// The scheduler may unlink the update file at any moment; a line is only
	// seen when it lands in a file that is still linked.
	int landed;
	while ((landed = append_line(line, static_cast<size_t>(len), limit)) == 0)
		;
	if (landed > 0)
		return 0;
	log_message("unable to append to %s/%s\n", directory, update_file);
	return -1;
}
