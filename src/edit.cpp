// The -e session, whole: a private copy of the current crontab, the editor
// run on it as the invoker, the text read back whole as the invoker and
// compared with the copy, its lines checked, and the install as long as
// the crontab is still the one copied. Nothing is installed over a change
// made meanwhile, and an edit not installed is kept and named; the edit's
// files go once it is installed or is nothing to keep.

#include "edit.h"

#include "as_user.h"
#include "copy.h"
#include "install.h"
#include "interrupts.h"
#include "lines.h"
#include "messages.h"
#include "record.h"
#include "size_limit.h"
#include "source.h"
#include "store.h"
#include "temp.h"

#include <errno.h>
#include <limits.h>
#include <pwd.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// The crontab an edit started from, so that a change made meanwhile by
// another hand is not overwritten unseen.
struct Origin {
	bool existed;
	dev_t dev;
	ino_t ino;
	off_t size;
	timespec mtime;
};

struct Edit {
	char path[temp_path_size];
	Source source;
	Origin origin;
	// The crontab the copy was made from, or -1 when there was none.
	int original;
	char note[note_size];
};

enum Edited {
	// Nothing is left to install. The failure was reported; the file and
	// its directory are gone, unless the report said where they are kept.
	edit_failed,
	// The text came back as it was copied, and that was said; the file and
	// its directory are gone.
	edit_unchanged,
	// The edited text is to be installed from edit->source, as long as the
	// crontab is still edit->origin.
	edit_changed,
	// The person chose not to install it; it is kept, and where was said.
	edit_kept,
};

// Only a crontab that does not exist means an empty start: editing a
// truncated copy would install the truncation. *original stays open on
// the crontab copied, for the comparison after the edit.
static int copy_current(const Crontab *crontab, int tmp, const char *path, Origin *origin,
			int *original)
{
	*origin = {};
	*original = -1;
	struct stat st;
	bool absent;
	int in = open_crontab(crontab, &st, &absent);
	if (in < 0)
		return absent ? 0 : -1;
	*origin = {true, st.st_dev, st.st_ino, st.st_size, st.st_mtim};
	if (copy_crontab(crontab, in, tmp, path, size_room()) == 0) {
		*original = in;
		return 0;
	}
	close(in);
	return -1;
}

// An editor that gave up leaves nothing meant; one killed, by Ctrl-C say,
// may leave what the person typed, and that is kept (*keep), and named.
static int check_editor(int status, const Edit *edit, bool *keep)
{
	if (status < 0)
		return -1;
	if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
		log_message("editor exited with status %d, crontab unchanged\n",
			    WEXITSTATUS(status));
	} else if (WIFSIGNALED(status)) {
		log_message("editor killed by signal %d, crontab unchanged\n", WTERMSIG(status));
		log_whole(edit->note);
		*keep = true;
	} else {
		return 0;
	}
	return -1;
}

// Where a kept edit is, and the command that installs it later.
static void kept_note(Edit *edit, const Invoker *invoker, const Crontab *crontab)
{
	char before[temp_path_size + 64];
	snprintf(before, sizeof before,
		 "the edited crontab is kept in %s; install it with: ", edit->path);
	install_note(edit->note, before, edit->path, invoker, crontab);
}

// Read back by name and as the invoker: editors that save by renaming
// leave a new file there, and the invoker must not read what they could not.
// 0, or -1 after the failure was reported; *keep when the file opened, so
// that what it holds is not lost with it.
static int read_back(const Invoker *invoker, Edit *edit, bool *keep)
{
	bool opened;
	if (read_file(invoker, edit->path, true, &edit->source, &opened) == 0)
		return 0;
	if (opened) {
		end_line();
		log_whole(edit->note);
		*keep = true;
	}
	return -1;
}

static bool unchanged(const Edit *edit)
{
	if (edit->original < 0)
		return edit->source.size == 0;
	return holds(edit->original, edit->source.text, edit->source.size);
}

// Lines of the system crontab name a user before the command; in a user's
// crontab the scheduler would run that name. A word that is a program on
// the usual search path is the program, whatever users there are.
static bool user_not_program(const char *name)
{
	static const char *const path[] = {"/usr/local/sbin", "/usr/local/bin", "/usr/sbin",
					   "/usr/bin",        "/sbin",          "/bin"};
	if (getpwnam(name) == nullptr)
		return false;
	for (const char *dir : path) {
		char program[PATH_MAX];
		snprintf(program, sizeof program, "%s/%s", dir, name);
		if (access(program, X_OK) == 0)
			return false;
	}
	return true;
}

// Each look-up reads the user database, and crontabs repeat their commands:
// the last 64 words are remembered (a 1 MiB crontab of 50 commands took 4 s
// to check without, 0.03 s with).
static bool seen_user_not_program(const char *name, size_t len)
{
	static char words[64][64];
	static bool verdicts[64];
	for (unsigned i = 0; i < 64; i++)
		if (words[i][0] != '\0' && strcmp(words[i], name) == 0)
			return verdicts[i];
	bool verdict = user_not_program(name);
	if (len < sizeof words[0]) {
		static unsigned next;
		memcpy(words[next], name, len + 1);
		verdicts[next] = verdict;
		next = (next + 1) % 64;
	}
	return verdict;
}

static const char *user_column(const char *line, size_t len)
{
	const char *word;
	size_t word_len;
	char name[login_name_size];
	if (!command_word(line, len, &word, &word_len) || word_len == 0 ||
	    word_len >= sizeof name || memchr(word, '/', word_len) != nullptr)
		return nullptr;
	memcpy(name, word, word_len);
	name[word_len] = '\0';
	if (!seen_user_not_program(name, word_len))
		return nullptr;
	return "the command starts with a login name, as lines of the system crontab do (a "
	       "user's crontab has no user column)";
}

// Names each line no scheduler can read, or would run otherwise than it
// reads, escaped as the record is.
static int point_out(const char *text, long long size)
{
	static char shown[1024];
	int count = 0;
	long long number = 0;
	for (const char *p = text, *end = text + size; p < end; number++) {
		const auto *newline =
			static_cast<const char *>(memchr(p, '\n', static_cast<size_t>(end - p)));
		auto len = static_cast<size_t>((newline != nullptr ? newline : end) - p);
		const char *problem = line_problem(p, len);
		const char *whys[] = {problem != nullptr ? problem : user_column(p, len),
				      newline != nullptr ? nullptr : unended_last_line};
		for (const char *why : whys)
			if (why != nullptr) {
				say("line %lld: %s: %s\n", number + 1, why,
				    escape_bytes(p, len, shown, sizeof shown));
				count++;
			}
		p += len + 1;
	}
	return count;
}

// After the lines are pointed out, a person at the terminal decides: a
// script, a client or an editor driven by a program gets the install as
// before, with only the lines on standard error besides.
static char decide()
{
	if (!at_terminal())
		return 'i';
	char answer =
		ask("(e)dit again, (i)nstall as it is, or (q)uit without installing? ", "eiq");
	return answer != '\0' ? answer : 'q';
}

// Runs the editor until the text is one to install, or nothing is to be.
// Interrupts are let through only while the editor runs and at the
// question: what the run says of the edit otherwise, it says once, and an
// interrupt waits for the run's end or the install.
static Edited edit_until_decided(const Invoker *invoker, Edit *edit, bool *keep)
{
	for (;;) {
		int status = run_editor(invoker, edit->path);
		block_interrupts();
		if (check_editor(status, edit, keep) != 0 || read_back(invoker, edit, keep) != 0)
			return edit_failed;
		// Too large to install: the install says so, and keeps the edit.
		if (edit->source.size > max_crontab_size)
			return edit_changed;
		if (unchanged(edit)) {
			say("no changes made to crontab\n");
			return edit_unchanged;
		}
		if (point_out(edit->source.text, edit->source.size) == 0)
			return edit_changed;
		unblock_interrupts();
		char answer = decide();
		block_interrupts();
		switch (answer) {
		case 'e':
			unblock_interrupts();
			continue;
		case 'q':
			say_whole(edit->note);
			return edit_kept;
		default:
			return edit_changed;
		}
	}
}

// The copy and the edit, up to what is to become of it.
static Edited edit_copy(const Invoker *invoker, const Crontab *crontab, Edit *edit)
{
	int tmp = create_temp(edit->path, true);
	if (tmp < 0)
		return edit_failed;
	int copied = copy_current(crontab, tmp, edit->path, &edit->origin, &edit->original);
	if (close(tmp) != 0 && copied == 0) {
		log_message("unable to write %s: %s\n", edit->path, strerror(errno));
		copied = -1;
	}
	kept_note(edit, invoker, crontab);
	bool keep = false;
	// Till it is decided, an interrupt keeps the edit and names it; the
	// install that may follow says so itself.
	if (copied == 0)
		catch_interrupts("edit interrupted; ", edit->note);
	Edited result = copied == 0 ? edit_until_decided(invoker, edit, &keep) : edit_failed;
	if (edit->original >= 0)
		close(edit->original);
	if ((result == edit_failed && !keep) || result == edit_unchanged)
		remove_temp(edit->path);
	return result;
}

static bool same_origin(const char *name, const Origin *origin)
{
	struct stat st;
	if (lstat(name, &st) != 0)
		return errno == ENOENT && !origin->existed;
	return origin->existed && st.st_dev == origin->dev && st.st_ino == origin->ino &&
	       st.st_size == origin->size && st.st_mtim.tv_sec == origin->mtime.tv_sec &&
	       st.st_mtim.tv_nsec == origin->mtime.tv_nsec;
}

// Installs the edited text, checked against the crontab it started from
// while its staging file keeps every other change of it out.
static int install_edit(const Edit *edit, const Crontab *crontab)
{
	int staging = stage_crontab(crontab, &edit->source, edit->note);
	if (staging < 0)
		return -1;
	bool installed;
	if (same_origin(crontab->name, &edit->origin))
		return commit_staging(crontab, staging, &installed);
	discard_staging(crontab, staging);
	log_message("%s/%s changed during the edit; not installed\n", crontab->dir, crontab->name);
	return -1;
}

int edit_crontab(const Invoker *invoker, const Crontab *crontab, bool *installed)
{
	static Edit edit;
	*installed = false;
	switch (edit_copy(invoker, crontab, &edit)) {
	case edit_failed:
		return -1;
	case edit_unchanged:
		return 0;
	case edit_kept:
		return 1;
	case edit_changed:
		break;
	}
	int result = install_edit(&edit, crontab);
	// A person who edits wants to know it took; a script that installs does not.
	if (result == 0) {
		say("crontab of %s installed\n", crontab->name);
		remove_temp(edit.path);
	} else {
		log_whole(edit.note);
	}
	*installed = result == 0;
	return result;
}
