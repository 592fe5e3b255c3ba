#pragma once

#include "install.h"
#include "user.h"

// The -e session: a private directory and file with a copy of the current
// crontab, the editor run on it, the text read back, and the edit kept
// when it is not installed. Results are 0, or -1 after the failure was
// reported.

// An edit's file, in a directory of its own that only the invoker may enter.
static const unsigned long edit_path_size = sizeof "/tmp/crontab.XXXXXX/crontab.XXXXXX";
// Where a kept edit is and how to install it, with room for a long -c.
static const unsigned long edit_note_size = 8192;

struct Edit {
	char path[edit_path_size];
	Source source;
	Origin origin;
	char note[edit_note_size];
};

// Lets the invoker edit a copy of the crontab name. On success the edited
// text is to be installed from edit->source, as long as the crontab is
// still edit->origin. On failure nothing is left to install and the file
// and its directory are gone.
int edit_crontab(const Invoker *invoker, const char *name, Edit *edit);

// Removes the edit's file and directory once it is installed; otherwise
// keeps them, so that the edit is not lost, and says where.
void end_edit(const Edit *edit, bool installed);
