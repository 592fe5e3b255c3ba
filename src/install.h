#pragma once

#include "store.h"

#include <sys/types.h>

// Changing a crontab: the staging file and its lock, which a delete takes
// too, the takeover of one whose install died, the signals that would
// interrupt it, the announcement on record, the rename and the syncs, and
// the line that tells the scheduler. Functions return 0 (or what their
// name says), or -1 after the failure was reported; the crontab is then
// as it was.

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

// Installs the crontab from source, whole or not at all, and tells the
// scheduler. The source is closed and its reader reaped either way.
int replace_crontab(const Crontab *crontab, const Source *source);

// The steps of replace_crontab for a caller that checks the crontab in
// between, while no other change of it can run. stage_crontab writes the
// source into the crontab's staging file, made durable, and returns the
// file, still held; note is what an interrupt says besides that the
// install was interrupted. commit_staging puts it in place of the crontab;
// discard_staging gives it up. The scheduler is not told.
int stage_crontab(const Crontab *crontab, const Source *source, const char *note);
int commit_staging(const Crontab *crontab, int staging);
void discard_staging(const Crontab *crontab, int staging);

// Deletes the crontab under the staging file's lock, so that no install of
// it runs meanwhile, and tells the scheduler; *deleted tells whether there
// was one.
int delete_crontab(const Crontab *crontab, bool *deleted);

// The steps of delete_crontab for a caller that looks at the crontab in
// between: hold_crontab takes the staging file's lock, as an install does,
// and returns the file; delete_held deletes the crontab and gives the lock
// up. The scheduler is not told.
int hold_crontab(const Crontab *crontab);
int delete_held(const Crontab *crontab, int held, bool *deleted);
