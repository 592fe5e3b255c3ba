#pragma once

#include <sys/types.h>

// Turns the calling process into the named user, who must still be user id
// uid: environment, the caller's file-size limit, supplementary groups,
// group id, user id and, when fallback_dir is given, the home directory.
// Returns the user id, or -1 after logging why.
int become_user(const char *name, uid_t uid, const char *fallback_dir);

// Lifts the caller's file-size limit as far as the command may, so that it
// cannot cut the command's own writes; become_user gives it back.
void lift_file_size_limit();

// Whether name, looked up by name, is user id uid: 0, or -1 after saying why.
int check_unambiguous(const char *name, uid_t uid);
