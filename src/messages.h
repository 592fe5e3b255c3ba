#pragma once

#include <stddef.h>

// Standard error, and the person at the terminal. Nothing here fails: a
// message that cannot be written is lost, and nothing else can be done.

// Said after an error that lack of root's rights explains: the command
// is not running set-user-id root. Empty for any other error, or as root.
const char *lacking_root(int err);

// Formats into a fixed buffer, cut to it, and writes it in one write. A
// message may leave its line open for the next to continue (some texts are
// two messages on one line); a line left open at exit is ended then, once.
void say(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Writes text whole, however long: a text that must not be cut. Safe in a
// signal handler.
void say_whole(const char *text);

// Whether a person is at the terminal: standard input and standard error
// both terminals. Scripts and clients get no help and no question.
bool at_terminal();

// Asks question and reads one line of standard input: the one of letters
// that the answer is, alone on its line (in either case, blanks around it
// allowed), asking again after any other answer; '\0' at end of input.
char ask(const char *question, const char *letters);

// Ends the line that the messages left open; registered to run at exit.
void end_line();

// Copies text into out with control characters written as \ooo and
// backslashes doubled, so that text from users cannot forge lines.
const char *escape(const char *text, char *out, size_t size);

// The same for len bytes of text, NUL bytes included.
const char *escape_bytes(const char *text, size_t len, char *out, size_t size);
