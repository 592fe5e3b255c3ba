// The record of the run in the system log. Time stamps are the system's,
// not the caller's zone; what users wrote is escaped so that it cannot
// forge a line; the records of one run wait for a logger that takes
// nothing for 2 s in all; buffers are static, so that a small stack limit
// cannot kill a record and leave the change it announces to go through.
// Only /dev/log is touched.

#include "record.h"

#include "messages.h"

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

// The subject of every record: who, and once known, what the run is to do;
// and what was said of its failures, lines joined by "; ".
static char who[1024];
static char action[1024];
static char said[1024];
static size_t said_len;

void log_whole(const char *text)
{
	say_whole(text);
	size_t len = strlen(text);
	while (len > 0 && text[len - 1] == '\n')
		len--;
	if (said_len > 0 && said_len + 2 < sizeof said) {
		memcpy(said + said_len, "; ", 2);
		said_len += 2;
	}
	size_t n = len < sizeof said - 1 - said_len ? len : sizeof said - 1 - said_len;
	memcpy(said + said_len, text, n);
	said_len += n;
	said[said_len] = '\0';
}

void log_message(const char *format, ...)
{
	char text[2048];
	va_list ap;
	va_start(ap, format);
	// Cut to the buffer, as say cuts.
	bool formatted = vsnprintf(text, sizeof text, format, ap) >= 0;
	va_end(ap);
	if (formatted)
		log_whole(text);
}

void report_call(const char *call)
{
	log_message("%s: %s\n", call, strerror(errno));
}

void record_who(const char *name, uid_t uid)
{
	snprintf(who, sizeof who, "%s%s(uid %u)", name, name[0] != '\0' ? " " : "",
		 static_cast<unsigned>(uid));
}

void record_action(const char *text)
{
	snprintf(action, sizeof action, "%s", text);
}

// Time stamps are root's records: the caller's TZ must not set them.
static void stamp(char *out, size_t size)
{
	static char caller_tz[4096];
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
// How long the records of a run may wait, in all, for a logger that takes
// nothing: any user can fill its queue, and the change waits for its
// record; a failure's record must not wait again.
static const long long logger_patience_ns = 2000000000;
static long long logger_waited_ns;

static long long monotonic_ns()
{
	timespec now;
	if (clock_gettime(CLOCK_MONOTONIC, &now) != 0)
		return 0;
	return now.tv_sec * 1000000000LL + now.tv_nsec;
}

// A socket connected to the logger of that kind, which waits at most
// patience; -2 when nobody listens or the logger is of the other kind
// (errno EPROTOTYPE), -1 on failure.
static int connect_logger(int kind, timeval patience)
{
	int fd = socket(AF_UNIX, kind | SOCK_CLOEXEC, 0);
	if (fd < 0) {
		// Without a descriptor we cannot tell; fail closed if a logger may listen.
		struct stat st;
		return lstat(logger.sun_path, &st) != 0 && errno == ENOENT ? -2 : -1;
	}
	// A stream logger's full backlog holds the connection up as a full queue
	// holds the send.
	if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience) == 0 &&
	    connect(fd, reinterpret_cast<const sockaddr *>(&logger), sizeof logger) == 0)
		return fd;
	int err = errno;
	close(fd);
	errno = err;
	return err == ENOENT || err == ECONNREFUSED || err == EPROTOTYPE ? -2 : -1;
}

// Sends one datagram (or, to a stream logger, one NUL-ended message).
// 0 when sent or when nobody listens at /dev/log.
static int send_to_logger(const char *message, size_t len, timeval patience)
{
	int kind = SOCK_DGRAM;
	int fd = connect_logger(kind, patience);
	if (fd == -2 && errno == EPROTOTYPE)
		fd = connect_logger(kind = SOCK_STREAM, patience);
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

// What is left of the run's patience is what this record may wait.
static int send_record(const char *message, size_t len)
{
	long long left = logger_patience_ns - logger_waited_ns;
	// A timeout of zero would mean none at all.
	if (left < 1000) {
		errno = EAGAIN;
		return -1;
	}
	const timeval patience = {static_cast<time_t>(left / 1000000000),
				  static_cast<suseconds_t>(left % 1000000000 / 1000)};
	long long began = monotonic_ns();
	int sent = send_to_logger(message, len, patience);
	int err = errno;
	logger_waited_ns += monotonic_ns() - began;
	errno = err;
	return sent;
}

// One line, escaped as a whole: the subject, ": " and the text. 0 when it
// is on record or no logger listens, -1 with errno set when a logger
// listens but did not get it. The buffers are static: a caller's small
// stack limit must not be able to kill the record and leave the change it
// announces to go through.
static int vrecord(int priority, bool whole_subject, const char *format, va_list ap)
{
	static char subject[1024];
	static char line[sizeof subject + 4096];
	static char safe[2 * sizeof line];
	static char message[sizeof safe + 128];
	bool both = whole_subject && action[0] != '\0';
	// Cut to its room, as a subject always was.
	if (snprintf(subject, sizeof subject, "%s%s%s", who, both ? ": " : "", both ? action : "") <
	    0)
		subject[0] = '\0';
	int len = snprintf(line, sizeof line, "%s: ", subject);
	if (vsnprintf(line + len, sizeof line - static_cast<size_t>(len), format, ap) < 0)
		line[len] = '\0';
	char when[32];
	stamp(when, sizeof when);
	int n = snprintf(message, sizeof message, "<%d>%s crontab[%d]: %s", LOG_CRON | priority,
			 when, static_cast<int>(getpid()), escape(line, safe, sizeof safe));
	if (n < 0)
		return -1;
	return send_record(message, n < static_cast<int>(sizeof message) ? static_cast<size_t>(n)
									 : sizeof message - 1);
}

static int record(int priority, bool whole_subject, const char *format, ...)
	__attribute__((format(printf, 3, 4)));
static int record(int priority, bool whole_subject, const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	int sent = vrecord(priority, whole_subject, format, ap);
	va_end(ap);
	return sent;
}

void record_refusal(const char *what, const char *because)
{
	record(LOG_WARNING, false, "refused%s%s: %s%s%s", what[0] != '\0' ? " " : "", what, because,
	       because[0] != '\0' ? "; " : "", said);
}

void record_failure()
{
	record(LOG_WARNING, true, "failed: %s", said);
}

void record_outcome(const char *words, bool announced)
{
	if (!announced || said[0] != '\0')
		record(said[0] != '\0' ? LOG_WARNING : LOG_INFO, true, "%s%s%s", words,
		       said[0] != '\0' ? "; " : "", said);
}

int announce(const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	int sent = vrecord(LOG_INFO, true, format, ap);
	va_end(ap);
	if (sent == 0)
		return 0;
	log_message("unable to write to the system log: %s\n", strerror(errno));
	return -1;
}
