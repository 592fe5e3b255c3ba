// A change at the terminal that takes a crontab away keeps it: on a
// terminal (standard input and standard error both terminals), the old
// crontab, when it has anything in it, is copied under the staging file's
// lock, so exactly what the change took away, into a private file of the
// invoker's, and one line says where and how to put it back. A copy that
// cannot be made never stops the change; one of a change not made is
// removed. Off a terminal (scripts, clients) nothing is copied or said.

#include "keep.h"

#include "install.h"
#include "messages.h"
#include "record.h"
#include "temp.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

// The old crontab, kept: where, or empty when nothing was.
struct Kept {
	char path[temp_path_size];
	// Whether it failed to be kept, with the failure reported.
	bool lost;
};

// The crontab, open, when it has anything in it to keep; -1 when it has
// not, -2 after the failure to open it was reported.
static int open_old(const Crontab *crontab)
{
	struct stat st;
	bool absent;
	int in = open_crontab(crontab, &st, &absent);
	if (in < 0)
		return absent ? -1 : -2;
	if (!S_ISREG(st.st_mode) || st.st_size == 0) {
		close(in);
		return -1;
	}
	return in;
}

// Copies the crontab, when it has anything in it, into a private file.
static void keep_old(const Crontab *crontab, Kept *kept)
{
	*kept = {};
	int in = open_old(crontab);
	kept->lost = in == -2;
	if (in < 0)
		return;
	int out = create_temp(kept->path, false);
	int copied = out >= 0 ? copy_crontab(crontab, in, out, kept->path, LLONG_MAX) : -1;
	close(in);
	if (out >= 0 && close(out) != 0 && copied == 0) {
		log_message("unable to write %s: %s\n", kept->path, strerror(errno));
		copied = -1;
	}
	if (out >= 0 && copied != 0)
		remove_temp(kept->path);
	kept->lost = copied != 0;
	if (kept->lost)
		kept->path[0] = '\0';
}

// The one line on what became of the old crontab; a copy of a change that
// was not made is not needed.
static void say_kept(const Invoker *invoker, const Crontab *crontab, const Kept *kept,
		     const char *done, bool changed)
{
	if (!changed && kept->path[0] != '\0')
		remove_temp(kept->path);
	if (!changed || (kept->path[0] == '\0' && !kept->lost))
		return;
	if (kept->lost) {
		// The failure's own report may have left its line open.
		end_line();
		say("crontab of %s %s; no copy of the old one was kept\n", crontab->name, done);
		return;
	}
	static char note[note_size];
	char before[temp_path_size + login_name_size + 64];
	snprintf(before, sizeof before,
		 "crontab of %s %s; the old one is kept in %s: put it back with ", crontab->name,
		 done, kept->path);
	install_note(note, before, kept->path, invoker, crontab);
	say_whole(note);
}

int replace_keeping(const Invoker *invoker, const Crontab *crontab, const Source *source)
{
	Kept kept = {};
	bool installed = false;
	int staging = stage_crontab(crontab, source, nullptr);
	if (staging >= 0 && at_terminal())
		keep_old(crontab, &kept);
	int result = staging >= 0 ? commit_staging(crontab, staging, &installed) : -1;
	say_kept(invoker, crontab, &kept, "replaced", installed);
	return result;
}

int delete_keeping(const Invoker *invoker, const Crontab *crontab, bool *deleted)
{
	Kept kept = {};
	*deleted = false;
	int held = hold_crontab(crontab);
	if (held >= 0 && at_terminal())
		keep_old(crontab, &kept);
	int result = held >= 0 ? delete_held(crontab, held, deleted) : -1;
	say_kept(invoker, crontab, &kept, "deleted", result == 0);
	return result;
}
