#pragma once

// The caller's file-size limit (RLIMIT_FSIZE). Nothing here reports;
// restore_size_limit returns 0, or -1 with errno set.

// Lifts the limit as far as the command may. A listing writes to the
// caller's own output and keeps it.
void lift_size_limit();

// Gives the caller's limit back, in a child that is about to become the user.
int restore_size_limit();

// The largest file the command may write now, after the caller's limits.
long long size_room();
