#pragma once

#include <pwd.h>
#include <sys/types.h>

// Opens path with the invoking user's rights in a child process and returns
// the read end of a pipe that carries its content, or -1. *reader is the
// child, to be passed to finish_reader once the pipe has been read.
int open_as_user(const char *invoker, const char *path, pid_t *reader);

// Reaps the reader child. Returns 0 if it sent the whole file (or reader is
// -1), -1 otherwise.
int finish_reader(pid_t reader);

// Lets the invoker edit a copy of target's crontab. On return *fd and
// *reader carry the edited text, read back from path as the invoker. Ends
// the process with status 1 when the edit cannot be completed.
void edit_crontab(const char *invoker, const char *dir, const passwd *target, char (&path)[20],
		  int *fd, pid_t *reader);

// Runs the editor on path as the invoker and returns its wait status, or -1
// when it could not be started.
int run_editor(const char *invoker, const char *path);
