#pragma once

#include "store.h"
#include "user.h"

// The invoker's private files in /tmp: an edit's file, or a crontab kept
// after a change took it away. Functions report their own failures.

// "/tmp/crontab.XXXXXX/crontab.XXXXXX" and its NUL.
static const unsigned long temp_path_size = 35;

// Where a file is and how to install it, with room for a long -c.
static const unsigned long note_size = 8192;

// Makes the directory and in it a file named "crontab.XXXXXX", made unique,
// or "crontab" when unique is false. The file, open for reading and
// writing, or -1 after the failure was reported; without the command's own
// identity back, nothing more is done with files, these included.
int create_temp(char (&path)[temp_path_size], bool unique);

// Removes the file, what else is in its directory, and the directory.
void remove_temp(const char *path);

// Writes into note the text of before, then the command that installs path
// as the crontab ("crontab [-c DIR] [-u NAME] PATH"), each argument quoted
// for the shell where it needs it, and a newline.
void install_note(char (&note)[note_size], const char *before, const char *path,
		  const Invoker *invoker, const Crontab *crontab);
