// The standard descriptors, as the caller left them: a closed one is
// filled with a stand-in that faces the wrong way, before any file is
// opened, so that no file the command opens takes the number of one.

#include "descriptors.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

// Bit fd set for each of 0, 1 and 2 that is closed, or -1.
static int closed_descriptors()
{
	pollfd fds[3] = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}};
	if (poll(fds, 3, 0) < 0)
		return -1;
	int closed = 0;
	for (int fd = 0; fd <= 2; fd++)
		if ((fds[fd].revents & POLLNVAL) != 0)
			closed |= 1 << fd;
	return closed;
}

// For a set-user-id program some C libraries fill a closed 0, 1 or 2 with
// the null device open for reading and writing before main runs, and a
// closed input would then read as empty and install an empty crontab.
// Other C libraries' stand-ins face one way only, as does anything a caller
// redirects from or to the null device; only a caller's own <>/dev/null
// looks the same, and for them reading nothing or writing nowhere fails
// now rather than later.
static bool filled_in(int fd, const struct stat &null)
{
	struct stat st;
	int flags = fcntl(fd, F_GETFL);
	return flags >= 0 && (flags & O_ACCMODE) == O_RDWR && fstat(fd, &st) == 0 &&
	       S_ISCHR(st.st_mode) && st.st_rdev == null.st_rdev;
}

static int filled_descriptors()
{
	if (getauxval(AT_SECURE) == 0)
		return 0;
	struct stat null;
	if (stat("/dev/null", &null) != 0 || !S_ISCHR(null.st_mode))
		return -1;
	int filled = 0;
	for (int fd = 0; fd <= 2; fd++)
		if (filled_in(fd, null))
			filled |= 1 << fd;
	return filled;
}

int guard_standard_descriptors()
{
	int closed = closed_descriptors();
	int filled = filled_descriptors();
	if (closed < 0 || filled < 0)
		return -1;
	for (int fd = 0; fd <= 2; fd++) {
		if (((closed | filled) & 1 << fd) == 0)
			continue;
		int stand_in = open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
		if (stand_in == fd)
			continue;
		// Another stand-in holds the number: this one replaces it.
		if (stand_in < 0 || dup2(stand_in, fd) != fd || close(stand_in) != 0)
			return -1;
	}
	return 0;
}
