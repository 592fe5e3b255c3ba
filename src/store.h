#pragma once

#include <limits.h>
#include <sys/stat.h>

// The crontab directory and its names. Functions that act report their own
// failures and return 0 (open_crontab the descriptor), or -1 when the
// command must end with status 1; name_problem only answers, with a
// reason, and notify_scheduler returns nothing.

#ifndef CRONTAB_DIR
#define CRONTAB_DIR "/etc/crontabs"
#endif

// Where crontabs are unless -c names another directory.
static const char default_crontab_dir[] = CRONTAB_DIR;

// A crontab: the directory, as named, and the crontab's name in it.
struct Crontab {
	const char *dir;
	const char *name;
};

// Why name cannot name a crontab, or nullptr when it can: root would write
// wherever an unsafe name leads.
const char *name_problem(const char *name);

// The name of the crontab's staging file, which always fits: name_problem
// refuses longer names.
void staging_name(const char *name, char (&staging)[NAME_MAX + 1]);

// Makes the directory the working directory.
int enter_store(const char *dir);

// Opens the crontab for reading, a link not followed, and gives its status:
// the descriptor, or -1. *absent tells a crontab that is not there, of
// which nothing is said, from a failure, which was reported.
int open_crontab(const Crontab *crontab, struct stat *st, bool *absent);

// Copies in, open on the crontab, to out, the file path names, at most
// limit bytes; a failure to read or to write is reported as such.
int copy_crontab(const Crontab *crontab, int in, int out, const char *path, long long limit);

// Copies the crontab to standard output.
int list_crontab(const Crontab *crontab);

// Appends the crontab's name as a line of the update file. A failure is
// reported, and changes nothing else: the change it tells of stands.
void notify_scheduler(const Crontab *crontab);
