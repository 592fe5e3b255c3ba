// The invoker's private files in /tmp: each in a directory of its own that
// only the invoker may enter, and both the invoker's from the moment they
// exist to their removal, which is done as the invoker. Root never owns a
// file in /tmp, not even for an instant.

#include "temp.h"

#include "as_user.h"
#include "record.h"
#include "store.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static const char temp_dir_template[] = "/tmp/crontab.XXXXXX";
static const char temp_file_template[] = "/crontab.XXXXXX";
static const char temp_file_name[] = "/crontab";
static_assert(sizeof temp_dir_template + sizeof temp_file_template - 1 == temp_path_size);

// /tmp is shared: whatever the editor does with the file's name, no other
// user can put a file under it in a directory only the invoker may enter.
static int make_temp(char (&path)[temp_path_size], bool unique)
{
	if (mkdtemp(path) == nullptr || chmod(path, 0700) != 0)
		return -1;
	char *name = path + sizeof temp_dir_template - 1;
	if (unique)
		memcpy(name, temp_file_template, sizeof temp_file_template);
	else
		memcpy(name, temp_file_name, sizeof temp_file_name);
	int tmp = unique ? mkstemp(path)
			 : open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
	if (tmp < 0) {
		int err = errno;
		path[sizeof temp_dir_template - 1] = '\0';
		rmdir(path);
		path[sizeof temp_dir_template - 1] = '/';
		errno = err;
	}
	return tmp;
}

int create_temp(char (&path)[temp_path_size], bool unique)
{
	memcpy(path, temp_dir_template, sizeof temp_dir_template);
	int tmp = use_invoker_files(true) ? make_temp(path, unique) : (errno = EPERM, -1);
	int err = errno;
	if (!use_invoker_files(false)) {
		log_message("unable to regain the command's identity\n");
		if (tmp >= 0)
			close(tmp);
		return -1;
	}
	if (tmp < 0)
		log_message("unable to create %s: %s", path, strerror(err));
	return tmp;
}

// What the editor left beside the file (a backup, say) goes with it.
static void remove_leftovers(const char *dir)
{
	DIR *d = opendir(dir);
	if (d == nullptr)
		return;
	while (const dirent *e = readdir(d))
		if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
			unlinkat(dirfd(d), e->d_name, 0);
	closedir(d);
}

static void remove_temp_files(const char *path)
{
	// The editor may have removed the name already; that is no failure.
	if (unlink(path) != 0 && errno != ENOENT)
		log_message("unable to remove %s: %s\n", path, strerror(errno));
	char dir[sizeof temp_dir_template];
	memcpy(dir, path, sizeof dir - 1);
	dir[sizeof dir - 1] = '\0';
	int err = rmdir(dir) == 0 ? 0 : errno;
	if (err == ENOTEMPTY) {
		remove_leftovers(dir);
		err = rmdir(dir) == 0 ? 0 : errno;
	}
	if (err != 0 && err != ENOENT)
		log_message("unable to remove %s: %s\n", dir, strerror(err));
}

// Nothing is done after it that needs the command's identity for files.
void remove_temp(const char *path)
{
	bool as_invoker = use_invoker_files(true);
	if (as_invoker)
		remove_temp_files(path);
	if (!use_invoker_files(false) || !as_invoker)
		log_message("unable to remove %s as its owner\n", path);
}

// Appends text to the string in buf, cut to fit; *len is its length.
static void append(char *buf, size_t size, size_t *len, const char *text)
{
	int n = snprintf(buf + *len, size - *len, "%s", text);
	if (n > 0)
		*len = *len + static_cast<size_t>(n) < size ? *len + static_cast<size_t>(n)
							    : size - 1;
}

// Root may paste the hint into a shell: an argument with anything but
// plain characters goes in single quotes, each quote in it written '\''.
static void append_word(char *buf, size_t size, size_t *len, const char *word)
{
	static const char plain[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
				    "0123456789_./+,:@%=-";
	if (word[0] != '\0' && strspn(word, plain) == strlen(word)) {
		append(buf, size, len, word);
		return;
	}
	append(buf, size, len, "'");
	for (const char *p = word; *p != '\0' && *len < size - 1; p++) {
		char one[2] = {*p, '\0'};
		append(buf, size, len, *p == '\'' ? "'\\''" : one);
	}
	append(buf, size, len, "'");
}

void install_note(char (&note)[note_size], const char *before, const char *path,
		  const Invoker *invoker, const Crontab *crontab)
{
	size_t len = 0;
	note[0] = '\0';
	append(note, sizeof note, &len, before);
	append(note, sizeof note, &len, "crontab ");
	if (strcmp(crontab->dir, default_crontab_dir) != 0) {
		append(note, sizeof note, &len, "-c ");
		append_word(note, sizeof note, &len, crontab->dir);
		append(note, sizeof note, &len, " ");
	}
	if (strcmp(crontab->name, invoker->name) != 0) {
		append(note, sizeof note, &len, "-u ");
		append_word(note, sizeof note, &len, crontab->name);
		append(note, sizeof note, &len, " ");
	}
	append(note, sizeof note, &len, path);
	append(note, sizeof note, &len, "\n");
}
