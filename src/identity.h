#pragma once

#include <sys/types.h>

// Turns the calling process into the named user: environment, supplementary
// groups, group id, user id and, when fallback_dir is given, the home
// directory. Returns the user id, or -1 after logging why.
int become_user(const char *name, const char *fallback_dir);
