#pragma once

#include <stddef.h>

// Formats into a fixed buffer and writes it to descriptor 2 in one write,
// adding nothing: callers carry their own line ends. The text is also kept
// for the system log's record of how the run ended.
void log_message(const char *format, ...) __attribute__((format(printf, 1, 2)));

// What log_message has written in this process, lines joined by "; ".
const char *diagnostics();

// Copies text into out with control characters written as \ooo and
// backslashes doubled, so that text from users cannot forge lines.
const char *escape(const char *text, char *out, size_t size);

// What the records of this run are about ("alice (uid 2001): delete
// crontab of alice"); each record starts with it.
void record_subject(const char *format, ...) __attribute__((format(printf, 1, 2)));

// One line in the system log (facility cron, identity "crontab", with the
// process id), escaped as a whole: the subject, ": " and the text. Returns
// 0 when it is on record or no logger listens, -1 with errno set when a
// logger listens but did not get it.
int record(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));
