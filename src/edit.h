#pragma once

#include "store.h"
#include "user.h"

// Lets the invoker edit a copy of the crontab. Lines no scheduler can read
// are pointed out; on a terminal the person then edits again, installs or
// quits. Returns 0 when the edit was installed (*installed) or changed
// nothing, 1 when the person chose to keep it uninstalled, -1 after a
// failure was reported.
int edit_crontab(const Invoker *invoker, const Crontab *crontab, bool *installed);
