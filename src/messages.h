#pragma once

#include <stddef.h>

// Standard error: every message the command writes there, and what of it the
// record of the run repeats. The one rule for line ends: a message is
// written exactly as given, in one write, and may leave its line open for
// the next to continue (some texts are two messages on one line); a line
// left open at exit is ended then, once. Nothing here fails: a message
// that cannot be written is lost, and nothing else can be done.

// Formats into a fixed buffer and writes it; the text is also kept for the
// record of how the run ended.
void log_message(const char *format, ...) __attribute__((format(printf, 1, 2)));

// The one phrasing of a failed call: "call: error text\n", from errno.
void report_call(const char *call);

// Said after an error that lack of root's rights explains: the command
// is not running set-user-id root. Empty for any other error, or as root.
const char *lacking_root(int err);

// Writes as log_message does, but keeps nothing for the record: what the
// person at the terminal is told besides failures.
void say(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Writes text whole, however long, as log_message (for_record) or say would:
// a text that must not be cut. Without for_record, safe in a signal handler.
void log_whole(const char *text, bool for_record);

// Asks question and reads one line of standard input: the one of letters
// that the answer is, alone on its line (in either case, blanks around it
// allowed), asking again after any other answer; '\0' at end of input.
char ask(const char *question, const char *letters);

// Ends the line that the messages left open; registered to run at exit.
void end_line();

// What log_message has written in this process, lines joined by "; ".
const char *diagnostics();

// Copies text into out with control characters written as \ooo and
// backslashes doubled, so that text from users cannot forge lines.
const char *escape(const char *text, char *out, size_t size);

// The same for len bytes of text, NUL bytes included.
const char *escape_bytes(const char *text, size_t len, char *out, size_t size);
