#pragma once

#include <stddef.h>

// Formats into a fixed buffer and writes it to descriptor 2 in one write,
// adding nothing: callers carry their own line ends. The text is also kept
// for the system log's record of how the run ended.
void log_message(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Writes as log_message does, but keeps nothing for the record: what the
// person at the terminal is told besides failures.
void say(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Writes text whole, however long, as log_message (for_record) or say would:
// a text that must not be cut.
void log_whole(const char *text, bool for_record);

// Asks question on standard error and reads one line of standard input:
// the first of letters that the answer is (in either case, blanks around
// it allowed), asking again after any other answer; '\0' at end of input.
char ask(const char *question, const char *letters);

// Ends the line that the messages left open, so that each keeps its text
// and the shell's prompt still starts on a line of its own.
void end_line();

// What log_message has written in this process, lines joined by "; ".
const char *diagnostics();

// Copies text into out with control characters written as \ooo and
// backslashes doubled, so that text from users cannot forge lines.
const char *escape(const char *text, char *out, size_t size);

// The same for len bytes of text, NUL bytes included.
const char *escape_bytes(const char *text, size_t len, char *out, size_t size);

// What the records of this run are about ("alice (uid 2001): delete
// crontab of alice"); each record starts with it.
void record_subject(const char *format, ...) __attribute__((format(printf, 1, 2)));

// One line in the system log (facility cron, identity "crontab", with the
// process id), escaped as a whole: the subject, ": " and the text. Returns
// 0 when it is on record or no logger listens, -1 with errno set when a
// logger listens but did not get it.
int record(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));
