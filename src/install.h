#pragma once

#include "source.h"
#include "store.h"

// Changing a crontab. Functions return 0 (or what their name says), or -1
// after the failure was reported; the crontab is then as it was, unless a
// commit said otherwise (*installed). Every change tried, failed or not,
// tells the scheduler once: each function below that ends one does.

// An install, in steps, for a caller that may look at the crontab in
// between, while no other change of it can run. stage_crontab writes the
// source into the crontab's staging file, made durable, and returns the
// file, still held; note is what an interrupt says besides that the
// install was interrupted. commit_staging puts it in place of the crontab
// (*installed, also when a failure after that says it may not survive a
// crash); discard_staging gives it up.
int stage_crontab(const Crontab *crontab, const Source *source, const char *note);
int commit_staging(const Crontab *crontab, int staging, bool *installed);
void discard_staging(const Crontab *crontab, int staging);

// A delete, in steps: hold_crontab takes the staging file's lock, as an
// install does, and returns the file; delete_held deletes the crontab and
// gives the lock up, *deleted telling whether there was one.
int hold_crontab(const Crontab *crontab);
int delete_held(const Crontab *crontab, int held, bool *deleted);
