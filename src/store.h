#pragma once

// The crontab directory: entering it, listing crontabs, and
// the update file that tells the scheduler whose crontab changed. Names
// are relative to the directory once entered. Functions report their own
// failures and return 0, or -1 when the command must end with status 1.

// Names the directory; nothing is done with it yet.
void store_at(const char *dir);

// The directory as named, for messages.
const char *store_dir();

// Makes the directory the working directory, which every name after it is
// relative to.
int enter_store();

// Copies the crontab to standard output, entering the directory only when
// the crontab cannot be opened through it.
int list_crontab(const char *name);

// Appends name as a line of the update file; a failure is reported, and the
// status it leaves to the caller.
int notify_scheduler(const char *name);
