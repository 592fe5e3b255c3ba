#include "log.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

static char kept[1024];
static size_t kept_len;

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

void log_message(const char *format, ...)
{
	char buf[2048];
	va_list ap;

	va_start(ap, format);
	int len = format_into(buf, sizeof buf, format, ap);
	va_end(ap);
	if (len < 0)
		return;
	// Nothing useful can be done when the diagnostic itself cannot be written.
	(void)!write(2, buf, static_cast<size_t>(len));
	keep(buf, static_cast<size_t>(len));
}

const char *diagnostics()
{
	return kept;
}

const char *escape(const char *text, char *out, size_t size)
{
	size_t n = 0;
	for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
	     *p != '\0' && n + 5 <= size; p++) {
		if (*p < 0x20 || *p == 0x7f || *p == '\\')
			n += static_cast<size_t>(
				snprintf(out + n, size - n, *p == '\\' ? "\\\\" : "\\%03o", *p));
		else
			out[n++] = static_cast<char>(*p);
	}
	out[n] = '\0';
	return out;
}

void audit(int priority, const char *format, ...)
{
	char line[4096];
	char safe[8192];
	va_list ap;

	va_start(ap, format);
	int len = format_into(line, sizeof line, format, ap);
	va_end(ap);
	if (len < 0)
		return;
	// Not LOG_CONS: without a logger the command behaves as if there were none.
	openlog("crontab", LOG_PID, LOG_CRON);
	syslog(priority, "%s", escape(line, safe, sizeof safe));
	closelog();
}
