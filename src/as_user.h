#pragma once

#include "user.h"

#include <sys/types.h>

// What runs with the invoking user's identity. A function that returns a
// number gives what its name says (a count, a wait status) or 0, and -1
// after the failure was reported, here or by the child that failed (a
// child killed by a signal says nothing). One that returns bool answers a
// question and reports nothing: what it means is the caller's to say.

// Turns the calling process into the invoker, who must still be user id
// invoker->uid: environment, the caller's file-size limit, supplementary
// groups, group id, user id and, when fallback_dir is given, the home
// directory. Only a child about to act for the user calls it.
int become_user(const Invoker *invoker, const char *fallback_dir);

// Reads the file at path whole, with the invoker's rights, in a child
// process, into buf: the count read, which is size when the file holds
// that much or more. With own_file, only a regular file that the invoker
// owns is read. *opened tells whether the file opened.
long long read_as_user(const Invoker *invoker, const char *path, bool own_file, char *buf,
		       long long size, bool *opened);

// Runs the editor on path as the invoker and returns its wait status.
int run_editor(const Invoker *invoker, const char *path);

// Makes files with the invoker's file-system ids (as_invoker) or the
// command's own again: whether the ids in force are the ones asked for.
bool use_invoker_files(bool as_invoker);
