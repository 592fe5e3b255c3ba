#pragma once

#include "install.h"
#include "store.h"
#include "user.h"

// A change at the terminal that takes a crontab away keeps it. Results are
// those of delete_crontab and replace_crontab.

// replace_crontab, keeping the old crontab on a terminal.
int replace_keeping(const Invoker *invoker, const Crontab *crontab, const Source *source);

// delete_crontab, keeping the old crontab on a terminal.
int delete_keeping(const Invoker *invoker, const Crontab *crontab, bool *deleted);
