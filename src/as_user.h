#pragma once

#include "user.h"

#include <sys/types.h>

// What runs with the invoking user's identity: the switch itself, the
// child that reads a file the user named, the child that runs the editor,
// and the file-system identity under which the edit's files are made.
// A function that returns int gives what its name says (a descriptor, a
// wait status) or 0, and -1 after the failure was reported, here or by the
// child that failed (a child killed by a signal says nothing). One that
// returns bool answers a question and reports nothing: what it means is
// the caller's to say.

// Turns the calling process into the invoker, who must still be user id
// invoker->uid: environment, the caller's file-size limit, supplementary
// groups, group id, user id and, when fallback_dir is given, the home
// directory. Only a child about to act for the user calls it.
int become_user(const Invoker *invoker, const char *fallback_dir);

// Opens path with the invoker's rights in a child process and returns the
// read end of a pipe that carries its content. *reader is the child, to be
// passed to reader_sent_all once the pipe has been read. With own_file,
// only a regular file that the invoker owns is read.
int open_as_user(const Invoker *invoker, const char *path, pid_t *reader, bool own_file = false);

// Reaps the reader child: whether it sent the whole file (true when reader
// is -1, no child).
bool reader_sent_all(pid_t reader);

// Runs the editor on path as the invoker and returns its wait status.
int run_editor(const Invoker *invoker, const char *path);

// Makes files with the invoker's file-system ids (as_invoker) or the
// command's own again: whether the ids in force are the ones asked for.
bool use_invoker_files(bool as_invoker);
