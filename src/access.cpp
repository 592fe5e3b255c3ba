// The allow and deny lists, as the superuser's files: the allow list, when
// there is one, admits exactly the names on it; else the deny list turns
// away the names on it. A list that is there but cannot be read whole, or
// is no regular file, admits only the superuser, who is never asked about.
// Only the two lists are read; nothing is written.

#include "access.h"

#include "record.h"
#include "user.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef CRONTAB_ALLOW
#define CRONTAB_ALLOW "/etc/cron.allow"
#endif
#ifndef CRONTAB_DENY
#define CRONTAB_DENY "/etc/cron.deny"
#endif

// No list of login names is larger; a larger file is not one.
static const off_t max_list_size = 1 << 20;

static bool blank(char c)
{
	return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

// Whether the line, blanks around it ignored, is name. Comment lines, empty
// lines and lines too long for a login name are no name. A line that is
// the name exactly matches too: a name may have blanks at its ends.
static bool line_is(const char *line, size_t len, size_t room, const char *name)
{
	if (len > room)
		return false;
	if (len > 0 && line[0] != '#' && len == strlen(name) && memcmp(line, name, len) == 0)
		return true;
	while (len > 0 && blank(*line)) {
		line++;
		len--;
	}
	while (len > 0 && blank(line[len - 1]))
		len--;
	return len > 0 && line[0] != '#' && len == strlen(name) && memcmp(line, name, len) == 0;
}

// Reads the list to its end. Returns 1 when name is listed, 0 when not, -1
// with errno set when the list cannot be read whole.
static int scan(int fd, const char *name)
{
	static char buf[65536];
	char line[login_name_size];
	size_t len = 0;
	bool found = false;
	ssize_t n;
	while ((n = read(fd, buf, sizeof buf)) != 0) {
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0)
			return -1;
		for (ssize_t i = 0; i < n; i++) {
			if (buf[i] == '\n') {
				found = found || line_is(line, len, sizeof line, name);
				len = 0;
			} else if (len++ < sizeof line) {
				line[len - 1] = buf[i];
			}
		}
	}
	return found || line_is(line, len, sizeof line, name) ? 1 : 0;
}

// 1 listed, 0 not listed, -2 when there is no list, -1 with errno set when
// the list exists but cannot be read.
static int listed(const char *path, const char *name)
{
	// Only a name that is not there at all means no list: a link that leads
	// nowhere, say to a file system not mounted, is a list that cannot be read.
	int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
	if (fd < 0 && errno == ELOOP)
		fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	else if (fd < 0 && errno == ENOENT)
		return -2;
	if (fd < 0)
		return -1;
	struct stat st;
	int result = -1;
	if (fstat(fd, &st) != 0)
		result = -1;
	else if (S_ISDIR(st.st_mode))
		errno = EISDIR;
	else if (!S_ISREG(st.st_mode))
		errno = EINVAL;
	else if (st.st_size > max_list_size)
		errno = EFBIG;
	else
		result = scan(fd, name);
	int err = errno;
	close(fd);
	errno = err;
	return result;
}

int check_access(const char *name)
{
	const char *list = CRONTAB_ALLOW;
	int found = listed(list, name);
	bool allow = found != -2;
	if (!allow) {
		list = CRONTAB_DENY;
		found = listed(list, name);
	}
	if (found == -1) {
		log_message("unable to read %s: %s; only the superuser may use crontab\n", list,
			    strerror(errno));
		return -1;
	}
	if (found == -2 || (found == 1) == allow)
		return 0;
	log_message("user '%s' is not allowed to use crontab (%s)\n", name, list);
	return -1;
}
