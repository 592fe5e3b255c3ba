#include "log.h"

#include "large.h"

#include <ctype.h>
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

static char kept[1024];
static char subject[1024];
static size_t kept_len;
// Whether the last text written to standard error left its line open.
static bool line_open;

static void keep(const char *text, size_t len)
{
	while (len > 0 && text[len - 1] == '\n')
		len--;
	if (kept_len > 0 && kept_len + 2 < sizeof kept) {
		memcpy(kept + kept_len, "; ", 2);
		kept_len += 2;
	}
	size_t room = sizeof kept - 1 - kept_len;
	size_t n = len < room ? len : room;
	memcpy(kept + kept_len, text, n);
	kept_len += n;
	kept[kept_len] = '\0';
}

// Longer output is cut to the buffer; -1 when nothing could be formatted.
static int format_into(char *buf, size_t size, const char *format, va_list ap)
{
	int len = vsnprintf(buf, size, format, ap);
	return len < static_cast<int>(size) ? len : static_cast<int>(size) - 1;
}

// Nothing useful can be done when a diagnostic itself cannot be written.
static void put(const char *text, size_t len)
{
	(void)!write(2, text, len);
	if (len > 0)
		line_open = text[len - 1] != '\n';
}

// Formats into a fixed buffer and writes it; keeps it for the record when
// it says how the run went.
static void emit(bool for_record, const char *format, va_list ap)
{
	char buf[2048];
	int len = format_into(buf, sizeof buf, format, ap);
	if (len < 0)
		return;
	put(buf, static_cast<size_t>(len));
	if (for_record)
		keep(buf, static_cast<size_t>(len));
}

void log_message(const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	emit(true, format, ap);
	va_end(ap);
}

void say(const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	emit(false, format, ap);
	va_end(ap);
}

void log_whole(const char *text, bool for_record)
{
	put(text, strlen(text));
	if (for_record)
		keep(text, strlen(text));
}

void end_line()
{
	if (line_open)
		put("\n", 1);
}

// One line of standard input, cut to fit; false at its end or on an error.
static bool read_line(char *buf, size_t size)
{
	size_t n = 0;
	for (;;) {
		char c;
		ssize_t got = read(0, &c, 1);
		if (got < 0 && errno == EINTR)
			continue;
		if (got <= 0)
			return false;
		if (c == '\n')
			break;
		if (n + 1 < size)
			buf[n++] = c;
	}
	buf[n] = '\0';
	return true;
}

char ask(const char *question, const char *letters)
{
	for (;;) {
		say("%s", question);
		char answer[64];
		if (!read_line(answer, sizeof answer)) {
			// No answer ended the question's line; what follows starts a new one.
			end_line();
			return '\0';
		}
		// The terminal echoed the answer's newline.
		line_open = false;
		const char *p = answer + strspn(answer, " \t");
		char letter = static_cast<char>(tolower(static_cast<unsigned char>(*p)));
		if (letter != '\0' && strchr(letters, letter) != nullptr &&
		    p[1 + strspn(p + 1, " \t")] == '\0')
			return letter;
	}
}

const char *diagnostics()
{
	return kept;
}

const char *escape(const char *text, char *out, size_t size)
{
	return escape_bytes(text, strlen(text), out, size);
}

const char *escape_bytes(const char *text, size_t len, char *out, size_t size)
{
	size_t n = 0;
	const auto *p = reinterpret_cast<const unsigned char *>(text);
	for (const unsigned char *end = p + len; p < end && n + 5 <= size; p++) {
		if (*p < 0x20 || *p == 0x7f || *p == '\\')
			n += static_cast<size_t>(
				snprintf(out + n, size - n, *p == '\\' ? "\\\\" : "\\%03o", *p));
		else
			out[n++] = static_cast<char>(*p);
	}
	out[n] = '\0';
	return out;
}

void record_subject(const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	format_into(subject, sizeof subject, format, ap);
	va_end(ap);
}

// Time stamps are root's records: the caller's TZ must not set them.
static void stamp(char *out, size_t size)
{
	LARGE_BUFFER static char caller_tz[4096];
	const char *tz = getenv("TZ");
	bool had_tz = tz != nullptr && strlen(tz) < sizeof caller_tz;
	if (had_tz)
		memcpy(caller_tz, tz, strlen(tz) + 1);
	unsetenv("TZ");
	tzset();
	time_t now = time(nullptr);
	tm local;
	if (localtime_r(&now, &local) == nullptr ||
	    strftime(out, size, "%b %e %H:%M:%S", &local) == 0)
		snprintf(out, size, "Jan  1 00:00:00");
	// The editor's child still gets the caller's zone.
	if (had_tz)
		setenv("TZ", caller_tz, 1);
	tzset();
}

static const sockaddr_un logger = {AF_UNIX, "/dev/log"};
// How long a record may wait for a logger that takes nothing: any user can
// fill its queue, and the change waits for its record.
static const timeval logger_patience = {2, 0};

// A socket connected to the logger of that kind; -2 when nobody listens or
// the logger is of the other kind (errno EPROTOTYPE), -1 on failure.
static int connect_logger(int kind)
{
	int fd = socket(AF_UNIX, kind | SOCK_CLOEXEC, 0);
	if (fd < 0) {
		// Without a descriptor we cannot tell; fail closed if a logger may listen.
		struct stat st;
		return lstat(logger.sun_path, &st) != 0 && errno == ENOENT ? -2 : -1;
	}
	// A stream logger's full backlog holds the connection up as a full queue
	// holds the send.
	if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &logger_patience, sizeof logger_patience) ==
		    0 &&
	    connect(fd, reinterpret_cast<const sockaddr *>(&logger), sizeof logger) == 0)
		return fd;
	int err = errno;
	close(fd);
	errno = err;
	return err == ENOENT || err == ECONNREFUSED || err == EPROTOTYPE ? -2 : -1;
}

// Sends one datagram (or, to a stream logger, one NUL-ended message).
// 0 when sent or when nobody listens at /dev/log.
static int send_record(const char *message, size_t len)
{
	int kind = SOCK_DGRAM;
	int fd = connect_logger(kind);
	if (fd == -2 && errno == EPROTOTYPE)
		fd = connect_logger(kind = SOCK_STREAM);
	if (fd < 0)
		return fd == -2 ? 0 : -1;
	size_t n = kind == SOCK_STREAM ? len + 1 : len;
	ssize_t sent;
	while ((sent = send(fd, message, n, MSG_NOSIGNAL)) < 0 && errno == EINTR)
		;
	int err = sent < 0 ? errno : EMSGSIZE;
	close(fd);
	errno = err;
	return sent == static_cast<ssize_t>(n) ? 0 : -1;
}

// The buffers are static: a caller's small stack limit must not be able to
// kill the record and leave the change it announces to go through.
int record(int priority, const char *format, ...)
{
	LARGE_BUFFER static char line[sizeof subject + 4096];
	LARGE_BUFFER static char safe[2 * sizeof line];
	LARGE_BUFFER static char message[sizeof safe + 128];
	va_list ap;

	int len = snprintf(line, sizeof line, "%s: ", subject);
	va_start(ap, format);
	format_into(line + len, sizeof line - static_cast<size_t>(len), format, ap);
	va_end(ap);
	char when[32];
	stamp(when, sizeof when);
	int n = snprintf(message, sizeof message, "<%d>%s crontab[%d]: %s", LOG_CRON | priority,
			 when, static_cast<int>(getpid()), escape(line, safe, sizeof safe));
	if (n < 0)
		return -1;
	return send_record(message, n < static_cast<int>(sizeof message) ? static_cast<size_t>(n)
									 : sizeof message - 1);
}
