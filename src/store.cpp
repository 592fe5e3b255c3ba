// The crontab directory and the rules of its names: a crontab is named
// after its user, its staging file "NAME.new", the update file
// "cron.update". The directory is entered once; every name after that is
// relative to it, and a link in it is never followed. The update file is
// root's alone; a line in it is written whole or blanked out, never left
// to join the next. Nothing here knows of users or children.

#include "store.h"

#include "copy.h"
#include "messages.h"
#include "record.h"
#include "size_limit.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static const char update_file[] = "cron.update";
static const char staging_suffix[] = ".new";

// Longest name whose staging name still fits in a file name uncut.
static const size_t max_name = NAME_MAX - (sizeof staging_suffix - 1);

const char *name_problem(const char *name)
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

void staging_name(const char *name, char (&staging)[NAME_MAX + 1])
{
	snprintf(staging, sizeof staging, "%s%s", name, staging_suffix);
}

int enter_store(const char *dir)
{
	if (chdir(dir) == 0)
		return 0;
	log_message("cannot change dir to %s: %s%s", dir, strerror(errno), lacking_root(errno));
	return -1;
}

// openat, since some C libraries follow an open with O_CLOEXEC by an fcntl
// that openat does without.
int open_crontab(const Crontab *crontab, struct stat *st, bool *absent)
{
	int in = openat(AT_FDCWD, crontab->name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
	*absent = in < 0 && errno == ENOENT;
	if (in >= 0 && fstat(in, st) != 0) {
		int err = errno;
		close(in);
		in = -1;
		errno = err;
	}
	if (in < 0 && !*absent)
		log_message("unable to read %s/%s: %s%s\n", crontab->dir, crontab->name,
			    strerror(errno), lacking_root(errno));
	return in;
}

int copy_crontab(const Crontab *crontab, int in, int out, const char *path, long long limit)
{
	bool read_failed;
	int err = copy_fd(in, out, limit, &read_failed);
	if (err == 0)
		return 0;
	if (read_failed)
		log_message("unable to read %s/%s: %s\n", crontab->dir, crontab->name,
			    strerror(err));
	else
		log_message("unable to write %s: %s\n", path, strerror(err));
	return -1;
}

// Clients read "no crontab" as an empty crontab, and would write theirs
// over one that only failed to open: it is said only of a crontab that is
// not there.
int list_crontab(const Crontab *crontab)
{
	const char *name = crontab->name;
	struct stat st;
	bool absent;
	int in = open_crontab(crontab, &st, &absent);
	if (absent)
		log_message("no crontab for %s\n", name);
	if (in < 0)
		return -1;
	bool read_failed;
	int err = copy_fd(in, 1, LLONG_MAX, &read_failed);
	if (err == 0)
		return 0;
	log_message("unable to %s %s/%s: %s\n", read_failed ? "read" : "list", crontab->dir, name,
		    strerror(err));
	return -1;
}

// The update file tells who changes crontabs: nobody's business but the
// scheduler's. Read and written by root alone; read back here only to see
// where a line landed.
static int open_update_file()
{
	int fd = open(update_file, O_RDWR | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
	struct stat st;
	if (fd >= 0 && fstat(fd, &st) == 0 && (st.st_mode & 077) != 0 && fchmod(fd, 0600) != 0) {
		close(fd);
		return -1;
	}
	return fd;
}

// A cut line is blanked out where it stands, so that it cannot join the
// name written after it. It is not cut off: without a lock another line may
// already follow it, and a lock any user's stopped process can hold would
// let one user hold up everyone's notifications.
static void blank_out(int fd, off_t end, size_t written)
{
	char newlines[NAME_MAX + 2];
	memset(newlines, '\n', written);
	int flags = fcntl(fd, F_GETFL);
	// Appending mode would move the write to the end of the file.
	if (flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_APPEND) == 0)
		(void)!pwrite(fd, newlines, written, end - static_cast<off_t>(written));
}

// Whether the line ending at end starts a line of its own: a line another
// command cut and has not yet blanked out would take it as its tail.
static bool stands_alone(int fd, off_t end, size_t len)
{
	char before = '\n';
	off_t at = end - static_cast<off_t>(len) - 1;
	return at < 0 || pread(fd, &before, 1, at) != 1 || before == '\n';
}

// Appends the line in one write. Returns 1 when it landed as a line of its
// own in a linked file, 0 when it must be written again, -1 on error.
static int append_line(const char *line, size_t len, long long limit)
{
	int fd = open_update_file();
	if (fd < 0)
		return -1;
	struct stat st;
	// A line the file-size limit would cut is not begun.
	bool fits = limit == LLONG_MAX ||
		    (fstat(fd, &st) == 0 && st.st_size + static_cast<off_t>(len) <= limit);
	ssize_t written = fits ? write(fd, line, len) : -1;
	off_t end = written > 0 ? lseek(fd, 0, SEEK_CUR) : -1;
	int landed = -1;
	if (written > 0 && static_cast<size_t>(written) < len && end >= written)
		blank_out(fd, end, static_cast<size_t>(written));
	else if (written > 0 && end >= 0)
		// The scheduler may unlink the file at any moment; a failed status
		// query leaves the line where it was written.
		landed = !stands_alone(fd, end, len) || (fstat(fd, &st) == 0 && st.st_nlink == 0)
				 ? 0
				 : 1;
	if (close(fd) != 0)
		landed = -1;
	return landed;
}

void notify_scheduler(const Crontab *crontab)
{
	char line[NAME_MAX + 2];
	int len = snprintf(line, sizeof line, "%s\n", crontab->name);
	long long limit = size_room();
	// Past the limit a write raises SIGXFSZ; another append can take the
	// room between the look at the size and the write.
	struct sigaction ignore = {};
	struct sigaction old;
	ignore.sa_handler = SIG_IGN;
	bool ignored = sigaction(SIGXFSZ, &ignore, &old) == 0;
	int landed;
	while ((landed = append_line(line, static_cast<size_t>(len), limit)) == 0)
		;
	if (ignored)
		sigaction(SIGXFSZ, &old, nullptr);
	if (landed <= 0)
		log_message("unable to append to %s/%s\n", crontab->dir, update_file);
}
