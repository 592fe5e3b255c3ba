#include "log.h"

#include <cstdarg>
#include <cstdio>
#include <unistd.h>

void log_message(const char *format, ...)
{
	char buf[2048];
	va_list ap;

	va_start(ap, format);
	int len = vsnprintf(buf, sizeof buf, format, ap);
	va_end(ap);
	if (len < 0)
		return;
	if (len >= static_cast<int>(sizeof buf))
		len = sizeof buf - 1;
	// Nothing useful can be done when the diagnostic itself cannot be written.
	(void)!write(2, buf, static_cast<size_t>(len));
}
