#pragma once

#include "install.h"
#include "store.h"
#include "user.h"

// Replacing and deleting a crontab, which on a terminal keeps the old one.
// Results are those of install: 0, or -1 after the failure was reported.

// Installs source as the crontab, whole or not at all.
int replace_keeping(const Invoker *invoker, const Crontab *crontab, const Source *source);

// Deletes the crontab under the staging file's lock, so that no install of
// it runs meanwhile; *deleted tells whether there was one.
int delete_keeping(const Invoker *invoker, const Crontab *crontab, bool *deleted);
