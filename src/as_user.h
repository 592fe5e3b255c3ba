#pragma once

#include "store.h"

#include <sys/types.h>

// An edit's file, in a directory of its own that only the invoker may enter.
static const size_t edit_path_size = sizeof "/tmp/crontab.XXXXXX/crontab.XXXXXX";

// The invoking user, on whose behalf the children below act.
struct Invoker {
	char name[256];
	uid_t uid;
};

// Opens path with the invoking user's rights in a child process and returns
// the read end of a pipe that carries its content, or -1. *reader is the
// child, to be passed to finish_reader once the pipe has been read. With
// own_file, only a regular file that the invoker owns is read.
int open_as_user(const Invoker *invoker, const char *path, pid_t *reader, bool own_file = false);

// Reaps the reader child. Returns 0 if it sent the whole file (or reader is
// -1), -1 otherwise.
int finish_reader(pid_t reader);

// Lets the invoker edit a copy of the crontab name. On success *fd and
// *reader carry the edited text, read back from path as the invoker, and
// *origin tells what the copy was made from. Returns 0, or -1 when the edit
// ended without anything to install (the file and its directory are then gone).
int edit_crontab(const Invoker *invoker, const char *dir, const char *name, char (&path)[edit_path_size],
		 int *fd, pid_t *reader, Origin *origin);

// Removes the edited file and its directory once it is installed;
// otherwise keeps them, so that the edit is not lost, and says note.
void end_edit(const char *path, bool installed, const char *note);

// Runs the editor on path as the invoker and returns its wait status, or -1
// when it could not be started.
int run_editor(const Invoker *invoker, const char *path);
