#pragma once

#include <stddef.h>

// What a crontab line may be, so that an edit can point out the lines no
// scheduler would run before they go in.

// Why the line (len bytes, without its newline) cannot be a crontab line,
// or nullptr when it can: blanks only, a comment, an environment setting,
// an @ schedule or five time fields, each followed by a command. Said too of
// lines a scheduler runs otherwise than they read: one that ends in a
// carriage return, or a command with an unescaped %.
const char *line_problem(const char *line, size_t len);

// The first word of the line's command, when the line is a job: *word and
// *word_len are set, and true returned.
bool command_word(const char *line, size_t len, const char **word, size_t *word_len);

// Said of a text whose last line has no newline.
extern const char unended_last_line[];
