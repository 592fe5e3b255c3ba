// Standard error, the one place the command writes to it: each message in
// one write, as given, and a line left open ended once, at exit. Nothing
// is kept: what the record needs of a failure, the record takes as it is
// said. The question reads standard input a byte at a time, so that
// nothing past its line is taken from a caller's input.

#include "messages.h"

#include <ctype.h>
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

// Whether the last text written left its line open, for the one line end
// added at exit.
static bool line_open;

// Nothing useful can be done when a diagnostic itself cannot be written.
static void put(const char *text, size_t len)
{
	(void)!write(2, text, len);
	if (len > 0)
		line_open = text[len - 1] != '\n';
}

void say(const char *format, ...)
{
	char buf[2048];
	va_list ap;
	va_start(ap, format);
	// Longer output is cut to the buffer.
	int len = vsnprintf(buf, sizeof buf, format, ap);
	va_end(ap);
	if (len >= 0)
		put(buf, strlen(buf));
}

void say_whole(const char *text)
{
	put(text, strlen(text));
}

const char *lacking_root(int err)
{
	bool rights = err == EACCES || err == EPERM;
	return rights && geteuid() != 0 ? " (crontab is not running set-user-id root)" : "";
}

bool at_terminal()
{
	return isatty(0) == 1 && isatty(2) == 1;
}

void end_line()
{
	if (line_open)
		put("\n", 1);
}

// One line of standard input: 1 when it fits in buf as a string, 0 when it
// does not (too long, or holding a NUL) and is no answer, -1 at its end or
// on an error.
static int read_line(char *buf, size_t size)
{
	size_t n = 0;
	bool fits = true;
	for (;;) {
		char c;
		ssize_t got = read(0, &c, 1);
		if (got < 0 && errno == EINTR)
			continue;
		if (got <= 0)
			return -1;
		if (c == '\n')
			break;
		if (c == '\0' || n + 1 == size)
			fits = false;
		else
			buf[n++] = c;
	}
	buf[n] = '\0';
	return fits ? 1 : 0;
}

char ask(const char *question, const char *letters)
{
	for (;;) {
		say("%s", question);
		char answer[64];
		int got = read_line(answer, sizeof answer);
		if (got < 0) {
			// No answer ended the question's line; what follows starts a new one.
			end_line();
			return '\0';
		}
		// The terminal echoed the answer's newline.
		line_open = false;
		if (got == 0)
			continue;
		const char *p = answer + strspn(answer, " \t");
		char letter = static_cast<char>(tolower(static_cast<unsigned char>(*p)));
		if (letter != '\0' && strchr(letters, letter) != nullptr &&
		    p[1 + strspn(p + 1, " \t")] == '\0')
			return letter;
	}
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
