// Copies between descriptors, in large blocks, retrying what a signal cut
// short; nothing else is touched, and nothing is reported.

#include "copy.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

int write_all(int out, const char *buf, unsigned long n)
{
	while (n > 0) {
		ssize_t w = write(out, buf, n);
		if (w < 0 && errno == EINTR)
			continue;
		if (w <= 0)
			return w < 0 ? errno : ENOSPC;
		buf += w;
		n -= static_cast<unsigned long>(w);
	}
	return 0;
}

int read_into(int in, char *buf, long long size, long long *got)
{
	*got = 0;
	while (*got < size) {
		ssize_t n = read(in, buf + *got, static_cast<size_t>(size - *got));
		if (n == 0)
			break;
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0)
			return errno;
		*got += n;
	}
	return 0;
}

// Large blocks keep an install of a full-size crontab to a few hundred calls.
static char buf[65536];

bool holds(int fd, const char *text, long long size)
{
	long long at = 0;
	for (;;) {
		ssize_t n = pread(fd, buf, sizeof buf, at);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return n == 0 && at == size;
		if (at + n > size || memcmp(buf, text + at, static_cast<size_t>(n)) != 0)
			return false;
		at += n;
	}
}

int copy_fd(int in, int out, long long limit, bool *read_failed)
{
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
		int err = write_all(out, buf, static_cast<unsigned long>(n));
		if (err != 0)
			return err;
	}
	return 0;
}
