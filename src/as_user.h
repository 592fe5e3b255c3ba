#pragma once

#include "user.h"

#include <sys/types.h>

// What runs with the invoking user's identity: the switch itself, the
// child that reads a file the user named, the child that runs the editor,
// and the file-system identity under which the edit's files are made.
// Results are what the name says (a descriptor, a wait status), or -1
// after the failure was reported.

// Turns the calling process into the invoker, who must still be user id
// invoker->uid: environment, the caller's file-size limit, supplementary
// groups, group id, user id and, when fallback_dir is given, the home
// directory. Returns the user id.
int become_user(const Invoker *invoker, const char *fallback_dir);

// Opens path with the invoker's rights in a child process and returns the
// read end of a pipe that carries its content. *reader is the child, to be
// passed to finish_reader once the pipe has been read. With own_file, only
// a regular file that the invoker owns is read.
int open_as_user(const Invoker *invoker, const char *path, pid_t *reader, bool own_file = false);

// Reaps the reader child: 0 if it sent the whole file (or reader is -1).
int finish_reader(pid_t reader);

// Runs the editor on path as the invoker and returns its wait status.
int run_editor(const Invoker *invoker, const char *path);

// Makes files with the invoker's file-system ids (as_invoker) or the
// command's own again: 0 when the ids in force are the ones asked for.
int use_invoker_files(bool as_invoker);
