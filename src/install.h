#pragma once

#include <sys/types.h>
#include <time.h>

// Changing a crontab: the staging file and its lock, which a delete takes
// too, the takeover of one whose install died, the signals that would
// interrupt it, the check against a lost update, the record, the rename
// and the syncs.
// Results are 0, or -1 after the failure was reported; the crontab is then
// as it was.

// The crontab an edit started from, so that a change made meanwhile by
// another hand is not overwritten unseen.
struct Origin {
	bool existed;
	dev_t dev;
	ino_t ino;
	off_t size;
	timespec mtime;
};

#ifndef CRONTAB_MAX_SIZE
#define CRONTAB_MAX_SIZE 1048576
#endif

// The largest crontab an install accepts.
static const long long max_crontab_size = CRONTAB_MAX_SIZE;

// Where a new crontab comes from: a descriptor, the reader child that feeds
// it (-1 when none) and its name in messages; or, when text is given, the
// size bytes there (fd and reader -1).
struct Source {
	int fd;
	pid_t reader;
	const char *name;
	const char *text;
	long long size;
};

// Installs the crontab name from source, whole or not at all; the source is
// closed and its reader reaped either way. With origin, only while the
// crontab is still the one it describes. note is what an interrupted
// install says besides that it was interrupted.
int install_crontab(const char *name, const Source *source, const Origin *origin, const char *note);

// Deletes the crontab name under the staging file's lock, so that no
// install of it runs meanwhile; *deleted tells whether there was one. The
// removal goes on record before it is made.
int delete_crontab(const char *name, bool *deleted);
