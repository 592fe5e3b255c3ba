#pragma once

#include "install.h"
#include "user.h"

// The -e session: a private directory and file with a copy of the current
// crontab, the editor run on it, the text read back and compared with the
// copy, its lines checked, and the edit kept when it is not installed.

// An edit's file, in a directory of its own that only the invoker may enter.
static const unsigned long edit_path_size = sizeof "/tmp/crontab.XXXXXX/crontab.XXXXXX";
// Where a kept edit is and how to install it, with room for a long -c.
static const unsigned long edit_note_size = 8192;

struct Edit {
	char path[edit_path_size];
	Source source;
	Origin origin;
	// The crontab the copy was made from, or -1 when there was none.
	int original;
	char note[edit_note_size];
};

enum Edited {
	// Nothing is left to install. The failure was reported; the file and
	// its directory are gone, unless the report said where they are kept.
	edit_failed,
	// The text came back as it was copied, and that was said; the file and
	// its directory are gone.
	edit_unchanged,
	// The edited text is to be installed from edit->source, as long as the
	// crontab is still edit->origin; end_edit follows.
	edit_changed,
	// The person chose not to install it; it is kept, and where was said.
	edit_kept,
};

// Lets the invoker edit a copy of the crontab name. Lines no scheduler can
// read are pointed out; on a terminal the person then edits again, installs
// or quits.
Edited edit_crontab(const Invoker *invoker, const char *name, Edit *edit);

// Removes the edit's file and directory once it is installed; otherwise
// keeps them, so that the edit is not lost, and says where.
void end_edit(const Edit *edit, bool installed);
