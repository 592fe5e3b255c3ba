#pragma once

#include <sys/types.h>
#include <time.h>

// Putting a crontab in place: the staging file and its lock, the takeover
// of one whose install died, the signals that would interrupt it, the
// check against a lost update, the record, the rename and the syncs.
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

// Where a new crontab comes from: a descriptor, the reader child that feeds
// it (-1 when none) and its name in messages.
struct Source {
	int fd;
	pid_t reader;
	const char *name;
};

// Installs the crontab name from source, whole or not at all; the source is
// closed and its reader reaped either way. With origin, only while the
// crontab is still the one it describes. note is what an interrupted
// install says besides that it was interrupted.
int install_crontab(const char *name, const Source *source, const Origin *origin, const char *note);
