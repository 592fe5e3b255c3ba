#pragma once

#include <time.h>
#include <sys/types.h>

// Everything here but the listing works relative to the working directory,
// which is the crontab directory; dir is only named in messages. Functions report their
// own failures; int results are 0, or -1 when the command must end with
// status 1, unless said otherwise.

// Why name cannot name a crontab, or nullptr when it can.
const char *unsafe_name(const char *name);

// The largest file the command may write now, after the caller's limits.
long long file_size_limit();

// Copies in to out in blocks, at most limit bytes, adding the count to
// *copied when given. Returns 0 or an error number; *read_failed tells
// whether reading in was what failed.
int copy_fd(int in, int out, long long limit, bool *read_failed, long long *copied = nullptr);

// Enters dir itself only when the crontab cannot be opened through it.
int list_crontab(const char *dir, const char *name);

// The crontab an edit started from, so that a change made meanwhile by
// another hand is not overwritten unseen.
struct Origin {
	bool existed;
	dev_t dev;
	ino_t ino;
	off_t size;
	timespec mtime;
};

// An install: open_staging gives a locked staging file, fill_staging copies
// into it, then commit_staging puts it in place (when origin is given, only
// if the crontab is still that one) or discard_staging drops it.
int open_staging(const char *dir, const char *name);
// What an interrupted install says besides that it was interrupted.
void set_interrupt_note(const char *note);
int fill_staging(int staging, int in, long long *copied);
int commit_staging(const char *dir, const char *name, int staging, const Origin *origin);
void discard_staging(const char *dir, int staging);

// 1 when the crontab was deleted, 0 when there was none, -1 on failure.
int delete_crontab(const char *dir, const char *name);

void notify_scheduler(const char *dir, const char *name);
