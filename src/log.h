#pragma once

// Formats into a fixed buffer and writes it to descriptor 2 in one write,
// adding nothing: callers carry their own line ends.
void log_message(const char *format, ...) __attribute__((format(printf, 1, 2)));
