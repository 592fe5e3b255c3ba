// Changing a crontab, so that every install is whole and alone. A staging
// file ("NAME.new") is in use exactly while its install holds the lock on
// it, and a name is removed or renamed only by the holder of the lock on
// the file it names: a file found locked and still named is ours alone,
// one found unlocked a dead install's, to take over. An interrupt removes
// the name only while this process holds that lock, and is caught only
// from then: before, nothing is ours to remove, and after a failure the
// run's end says what happened, once. The staging file is made durable,
// the change put on record, the rename makes it take effect and the
// directory's sync makes that durable, in that order. Every change tried
// tells the scheduler, since a failed one may still have changed
// something. Nothing here reads a source or starts a child: it is given
// the bytes, and touches the crontab directory alone.

#include "install.h"

#include "copy.h"
#include "interrupts.h"
#include "messages.h"
#include "record.h"
#include "size_limit.h"
#include "source.h"
#include "store.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// The staging file of this process, and the second descriptor that keeps
// its lock while the first is closed before the rename.
static char staging_path[NAME_MAX + 1];
static int staging_lock = -1;
static const char *interrupt_note = "";

// A late signal must not remove a staging file that another install has
// created under the name meanwhile.
static void release_staging()
{
	block_interrupts();
	remove_on_interrupt(nullptr);
}

// 1 when name names the regular file open at fd, 0 when it names another
// or none, -1 when either cannot be looked at.
static int names(int fd, const char *name)
{
	struct stat by_fd;
	struct stat by_name;
	if (fstat(fd, &by_fd) != 0)
		return -1;
	if (lstat(name, &by_name) != 0)
		return errno == ENOENT ? 0 : -1;
	return S_ISREG(by_fd.st_mode) && by_fd.st_dev == by_name.st_dev &&
	       by_fd.st_ino == by_name.st_ino;
}

// 1 when the file is locked and still named, 0 when another install has
// the name, -1 with errno set on error.
static int hold(int fd)
{
	if (flock(fd, LOCK_EX | LOCK_NB) != 0)
		return errno == EWOULDBLOCK ? 0 : -1;
	int named = names(fd, staging_path);
	remove_on_interrupt(named == 1 ? staging_path : nullptr);
	return named;
}

// Removes a staging file whose install died. Returns 0 when the name is
// free to try again, -1 with errno set when it is not.
static int remove_abandoned()
{
	int fd = open(staging_path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0)
		return errno == ENOENT ? 0 : (errno = EEXIST, -1);
	// A file renamed or removed meanwhile is no longer in the way.
	bool freed = flock(fd, LOCK_EX | LOCK_NB) == 0 &&
		     (names(fd, staging_path) != 1 || unlink(staging_path) == 0);
	close(fd);
	errno = EEXIST;
	return freed ? 0 : -1;
}

static void remove_staging(const Crontab *crontab)
{
	if (unlink(staging_path) != 0)
		log_message("unable to remove %s/%s: %s\n", crontab->dir, staging_path,
			    strerror(errno));
}

static void drop_staging(const Crontab *crontab, int staging)
{
	release_staging();
	close(staging);
	remove_staging(crontab);
	close(staging_lock);
}

void discard_staging(const Crontab *crontab, int staging)
{
	drop_staging(crontab, staging);
	notify_scheduler(crontab);
}

// A locked staging file of our own, or -1 with nothing touched and the
// interrupts left waiting.
static int open_staging(const Crontab *crontab, const char *interrupted)
{
	staging_name(crontab->name, staging_path);
	block_interrupts();
	int out = -1;
	for (int attempt = 0; attempt < 3 && out < 0; attempt++) {
		out = open(staging_path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
			   0600);
		int held = out >= 0 ? hold(out) : 1;
		if (held != 1) {
			// Taken over before we locked it, the name is another install's,
			// not ours to remove; a failure leaves it ours, and no debris.
			int err = held == 0 ? EEXIST : errno;
			if (held < 0 && names(out, staging_path) != 0)
				unlink(staging_path);
			close(out);
			out = -1;
			errno = err;
			break;
		}
		if (out < 0 && (errno != EEXIST || remove_abandoned() != 0))
			break;
	}
	// The lock lives on in a second descriptor, so that the staging file
	// can be closed, and its close checked, before the rename.
	if (out >= 0 && (staging_lock = fcntl(out, F_DUPFD_CLOEXEC, 0)) < 0) {
		int err = errno;
		drop_staging(crontab, out);
		errno = err;
		out = -1;
	}
	if (out < 0)
		log_message("unable to create %s/%s: %s%s\n", crontab->dir, staging_path,
			    strerror(errno), lacking_root(errno));
	else
		catch_interrupts(interrupted, interrupt_note);
	return out;
}

// Writes the new crontab into the staging file and makes it durable.
// Returns 0 or an error number.
static int fill_staging(int staging, const Source *source)
{
	long long limit = size_room();
	if (limit > max_crontab_size)
		limit = max_crontab_size;
	int err = source->size > limit ? EFBIG
				       : write_all(staging, source->text,
						   static_cast<unsigned long>(source->size));
	if (err == 0 && fsync(staging) != 0)
		err = errno;
	return err;
}

// The install on record before it takes effect. Returns 0 or an error
// number; a record that could not be sent was reported.
static int announce_install()
{
	struct stat st;
	if (fstat(staging_lock, &st) != 0)
		return errno;
	return announce("installing %lld bytes", static_cast<long long>(st.st_size)) == 0 ? 0
											  : errno;
}

// A rename is only durable once the directory that records it is.
static int sync_directory()
{
	int fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (fd < 0)
		return errno;
	int err = fsync(fd) == 0 || errno == EINVAL ? 0 : errno;
	close(fd);
	return err;
}

int commit_staging(const Crontab *crontab, int staging, bool *installed)
{
	const char *name = crontab->name;
	int err = close(staging) == 0 ? 0 : errno;
	release_staging();
	// Checked again here, so that no slip elsewhere can put another
	// install's file in place. A name that cannot be looked at is still
	// ours to remove.
	int named = names(staging_lock, staging_path);
	if (err == 0 && named != 1)
		err = named == 0 ? EEXIST : errno;
	if (err == 0) {
		// The name is ours again once checked: an interrupt while the record
		// waits on the logger removes it and ends the change.
		remove_on_interrupt(staging_path);
		unblock_interrupts();
		err = announce_install();
		release_staging();
	}
	if (err == 0 && rename(staging_path, name) != 0)
		err = errno;
	*installed = err == 0;
	if (err != 0) {
		if (named != 0)
			remove_staging(crontab);
		close(staging_lock);
		log_message("unable to install %s/%s: %s%s\n", crontab->dir, name, strerror(err),
			    lacking_root(err));
	}
	notify_scheduler(crontab);
	if (err != 0)
		return -1;
	err = sync_directory();
	close(staging_lock);
	if (err == 0)
		return 0;
	log_message("unable to sync %s: %s; crontab of %s installed and the scheduler told, but it "
		    "may not survive a crash\n",
		    crontab->dir, strerror(err), name);
	return -1;
}

int stage_crontab(const Crontab *crontab, const Source *source, const char *note)
{
	interrupt_note = note != nullptr ? note : "";
	int staging = open_staging(crontab, "install interrupted, crontab unchanged\n");
	int err = staging >= 0 ? fill_staging(staging, source) : 0;
	if (staging >= 0 && err == 0)
		return staging;
	if (staging >= 0) {
		drop_staging(crontab, staging);
		log_message("unable to install %s/%s: %s\n", crontab->dir, crontab->name,
			    strerror(err));
	}
	notify_scheduler(crontab);
	return -1;
}

// Only a file or a link is a crontab to delete, never a directory. 1 when
// deleted, 0 when there was none, -1 after the failure was reported.
static int remove_crontab(const Crontab *crontab)
{
	struct stat st;
	int err = lstat(crontab->name, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
	if (err == 0) {
		if (announce("deleting") != 0)
			return -1;
		release_staging();
		err = unlink(crontab->name) == 0 ? 0 : errno;
	}
	// A crontab that is not there is already deleted.
	if (err == 0 || err == ENOENT)
		return err == 0 ? 1 : 0;
	log_message("unable to delete %s/%s: %s%s\n", crontab->dir, crontab->name, strerror(err),
		    lacking_root(err));
	return -1;
}

int hold_crontab(const Crontab *crontab)
{
	interrupt_note = "";
	int held = open_staging(crontab, "delete interrupted, crontab unchanged\n");
	if (held < 0)
		notify_scheduler(crontab);
	return held;
}

int delete_held(const Crontab *crontab, int held, bool *deleted)
{
	int removed = remove_crontab(crontab);
	drop_staging(crontab, held);
	notify_scheduler(crontab);
	*deleted = removed == 1;
	return removed >= 0 ? 0 : -1;
}
