#include "store.h"

#include "as_user.h"
#include "log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef CRONTAB_MAX_SIZE
#define CRONTAB_MAX_SIZE 1048576
#endif

static const char update_file[] = "cron.update";

int list_crontab(const char *dir, const passwd *pw)
{
	FILE *in = fopen(pw->pw_name, "r");
	if (in == nullptr) {
		fprintf(stderr, "no crontab for %s\n", pw->pw_name);
		return -1;
	}
	// Large buffers keep a listing to a read and a write, as a plain copy
	// would; static, so that only the pages a listing fills are touched.
	static char in_buf[65536];
	static char out_buf[65536];
	// Should a buffer be refused, the stream keeps its own: slower, still exact.
	(void)setvbuf(in, in_buf, _IOFBF, sizeof in_buf);
	(void)setvbuf(stdout, out_buf, _IOFBF, sizeof out_buf);
	// Blocks, not lines: a NUL byte inside a line must reach the output.
	char buf[1024];
	int err = 0;
	for (;;) {
		size_t n = fread(buf, 1, sizeof buf, in);
		if (n == 0) {
			err = ferror(in) ? errno : 0;
			break;
		}
		if (fwrite(buf, 1, n, stdout) != n) {
			err = errno;
			break;
		}
	}
	if (fflush(stdout) != 0 && err == 0)
		err = errno;
	fclose(in);
	if (err == 0)
		return 0;
	fprintf(stderr, "unable to list %s/%s: %s\n", dir, pw->pw_name, strerror(err));
	return -1;
}

// A name too long for ".new" is shortened so that the staging file never
// shares its name with the crontab it replaces.
static void staging_name(char (&out)[256], const char *name)
{
	snprintf(out, sizeof out, "%.*s.new", static_cast<int>(sizeof out) - 5, name);
}

int copy_fd(int in, int out, long long limit, bool *read_failed)
{
	char buf[1024];
	long long total = 0;
	*read_failed = false;
	for (;;) {
		ssize_t n = read(in, buf, sizeof buf);
		if (n == 0)
			return 0;
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0) {
			*read_failed = true;
			return errno;
		}
		total += n;
		if (total > limit)
			return EFBIG;
		ssize_t w = write(out, buf, static_cast<size_t>(n));
		// A short write to a file means the space ran out.
		if (w != n)
			return w < 0 ? errno : ENOSPC;
	}
}

// Fills the staging file and makes it durable. Returns 0 or an error number.
static int fill_staging(int fd, int out)
{
	bool read_failed;
	int err = copy_fd(fd, out, CRONTAB_MAX_SIZE, &read_failed);
	if (err == 0 && fsync(out) != 0)
		err = errno;
	if (close(out) != 0 && err == 0)
		err = errno;
	return err;
}

static void discard_staging(const char *dir, const char *staging)
{
	if (unlink(staging) != 0)
		fprintf(stderr, "unable to remove %s/%s: %s\n", dir, staging, strerror(errno));
}

int install_crontab(const char *dir, const passwd *pw, int fd, pid_t reader, const char *source)
{
	char staging[256];
	staging_name(staging, pw->pw_name);
	int out = open(staging, O_WRONLY | O_CREAT | O_EXCL | O_TRUNC | O_APPEND, 0600);
	if (out < 0) {
		fprintf(stderr, "unable to create %s/%s: %s\n", dir, staging, strerror(errno));
		close(fd);
		return -1;
	}
	int err = fill_staging(fd, out);
	// Closing first lets a reader still writing see a broken pipe and end.
	close(fd);
	bool reader_failed = finish_reader(reader) != 0;
	if (err == 0 && reader_failed) {
		discard_staging(dir, staging);
		log_message("unable to read replacement file %s", source);
		return -1;
	}
	if (err == 0 && rename(staging, pw->pw_name) != 0)
		err = errno;
	if (err == 0)
		return 0;
	discard_staging(dir, staging);
	fprintf(stderr, "unable to install %s/%s: %s\n", dir, pw->pw_name, strerror(err));
	return -1;
}

int delete_crontab(const char *dir, const passwd *pw)
{
	// A crontab that is not there is already deleted.
	if (remove(pw->pw_name) == 0 || errno == ENOENT)
		return 0;
	fprintf(stderr, "unable to delete %s/%s: %s\n", dir, pw->pw_name, strerror(errno));
	return -1;
}

// Appends the line once. Returns 1 when it landed in a linked file, 0 when
// the file was unlinked meanwhile and it must be written again, -1 on error.
static int append_name(const char *name)
{
	// Not 0666: the caller's file-creation mask must not be able to make a
	// file of root's writable by everyone.
	int fd = open(update_file, O_WRONLY | O_CREAT | O_APPEND, 0644);
	if (fd < 0)
		return -1;
	FILE *f = fdopen(fd, "a");
	if (f == nullptr) {
		close(fd);
		return -1;
	}
	struct stat st;
	bool written = fprintf(f, "%s\n", name) >= 0 && fflush(f) == 0;
	// A failed status query leaves the line where it was written.
	bool linked = fstat(fileno(f), &st) != 0 || st.st_nlink != 0;
	if (fclose(f) != 0)
		written = false;
	if (!written)
		return -1;
	return linked ? 1 : 0;
}

void notify_scheduler(const char *dir, const passwd *pw)
{
	// The scheduler may unlink the update file at any moment; a line is only
	// seen when it lands in a file that is still linked.
	int landed;
	while ((landed = append_name(pw->pw_name)) == 0)
		;
	if (landed < 0)
		fprintf(stderr, "unable to append to %s/%s\n", dir, update_file);
}
