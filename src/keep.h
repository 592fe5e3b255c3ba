#pragma once

#include "install.h"
#include "store.h"
#include "user.h"

// A change at the terminal that takes a crontab away keeps it: on a
// terminal (standard input and standard error both terminals), a delete or
// a replace copies the old crontab, when it has anything in it, into a
// private file of the invoker's, and one line says where it is and the
// command that puts it back. The copy is made under the staging file's
// lock, so it is exactly what the change took away; a copy that cannot be
// made never stops the change. Off a terminal (scripts, clients) these are
// delete_crontab and replace_crontab, and nothing more is said. Results
// are theirs.

// replace_crontab, keeping the old crontab on a terminal. A terminal that
// is the source is first told how to end the input or abandon it.
int replace_keeping(const Invoker *invoker, const Crontab *crontab, const Source *source);

// delete_crontab, keeping the old crontab on a terminal.
int delete_keeping(const Invoker *invoker, const Crontab *crontab, bool *deleted);
