#pragma once

#include "store.h"
#include "user.h"

// The text of a new crontab, read whole before any install of it begins.
// Functions return 0, or -1 after the failure was reported.

#ifndef CRONTAB_MAX_SIZE
#define CRONTAB_MAX_SIZE 1048576
#endif

// The largest crontab an install accepts.
static const long long max_crontab_size = CRONTAB_MAX_SIZE;

// size bytes at text; one byte more than an install accepts tells that
// the text is too large.
struct Source {
	const char *text;
	long long size;
};

// Reads the file at path whole, as the invoker does (read_as_user).
// *opened tells whether it opened, and so whether a failure may have lost
// what it holds.
int read_file(const Invoker *invoker, const char *path, bool own_file, Source *source,
	      bool *opened);

// Reads standard input to its end; a person at the terminal is first told
// how to end it, or abandon it. A failure is said as the install's.
int read_input(const Crontab *crontab, Source *source);
