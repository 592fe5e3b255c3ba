#pragma once

#include <pwd.h>
#include <sys/types.h>

// All four work relative to the working directory, which is the crontab
// directory; dir is only named in messages. Each reports its own failures;
// the int results are 0, or -1 when the command must end with status 1.

// Copies in to out in blocks, at most limit bytes. Returns 0 or an error
// number; *read_failed tells whether reading in was what failed.
int copy_fd(int in, int out, long long limit, bool *read_failed);

int list_crontab(const char *dir, const passwd *pw);

// Takes over fd. reader is the process feeding fd, or -1 when none does; the
// new crontab is put in place only if it ended well. source names fd for
// the message when it did not.
int install_crontab(const char *dir, const passwd *pw, int fd, pid_t reader, const char *source);

int delete_crontab(const char *dir, const passwd *pw);

void notify_scheduler(const char *dir, const passwd *pw);
