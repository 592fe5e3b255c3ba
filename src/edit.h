#pragma once

#include "store.h"
#include "user.h"

// The -e session, whole: a private directory and file with a copy of the
// current crontab, the editor run on it, the text read back and compared
// with the copy, its lines checked, the install as long as the crontab is
// still the one copied, and the edit's files removed once installed or
// kept, and named, when not.

// Lets the invoker edit a copy of the crontab. Lines no scheduler can read
// are pointed out; on a terminal the person then edits again, installs or
// quits. Returns 0 when the edit was installed (*installed) or changed
// nothing, 1 when the person chose to keep it uninstalled, -1 after a
// failure was reported.
int edit_crontab(const Invoker *invoker, const Crontab *crontab, bool *installed);
