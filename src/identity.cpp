#include "identity.h"

#include "log.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <grp.h>
#include <pwd.h>
#include <sys/resource.h>
#include <unistd.h>

static rlimit caller_fsize;
static bool fsize_lifted;

void lift_file_size_limit()
{
	if (getrlimit(RLIMIT_FSIZE, &caller_fsize) != 0 || caller_fsize.rlim_cur == RLIM_INFINITY)
		return;
	// Raising the hard limit needs CAP_SYS_RESOURCE; without it the soft one
	// can still reach the hard one, and the writes check what is left.
	rlimit up = {RLIM_INFINITY, RLIM_INFINITY};
	if (setrlimit(RLIMIT_FSIZE, &up) != 0) {
		up.rlim_cur = up.rlim_max = caller_fsize.rlim_max;
		if (setrlimit(RLIMIT_FSIZE, &up) != 0)
			return;
	}
	fsize_lifted = true;
}

int check_unambiguous(const char *name, uid_t uid)
{
	const passwd *pw = getpwnam(name);
	if (pw != nullptr && pw->pw_uid == uid)
		return 0;
	char safe[1024];
	if (pw == nullptr)
		log_message("login name '%s' of user id %d is not found by name\n",
			    escape(name, safe, sizeof safe), static_cast<int>(uid));
	else
		log_message("login name '%s' of user id %d names user id %d too; refusing it\n",
			    escape(name, safe, sizeof safe), static_cast<int>(uid),
			    static_cast<int>(pw->pw_uid));
	return -1;
}

static int set_user_environment(const passwd *pw)
{
	if (setenv("USER", pw->pw_name, 1) != 0 || setenv("LOGNAME", pw->pw_name, 1) != 0 ||
	    setenv("HOME", pw->pw_dir, 1) != 0 || setenv("SHELL", "/bin/sh", 1) != 0) {
		log_message("setenv failed: %s %s\n", pw->pw_name, strerror(errno));
		return -1;
	}
	return 0;
}

static int enter_home(const passwd *pw, const char *fallback_dir)
{
	if (chdir(pw->pw_dir) == 0)
		return 0;
	log_message("chdir failed: %s %s\n", pw->pw_name, pw->pw_dir);
	if (chdir(fallback_dir) == 0)
		return 0;
	log_message("chdir failed: %s %s\n", pw->pw_name, fallback_dir);
	return -1;
}

// Every id, saved ones included, must be the user's: nothing of root's may
// be left to regain.
static int check_switched(const passwd *pw)
{
	uid_t ruid = 0;
	uid_t euid = 0;
	uid_t suid = 0;
	gid_t rgid = 0;
	gid_t egid = 0;
	gid_t sgid = 0;
	if (getresuid(&ruid, &euid, &suid) == 0 && getresgid(&rgid, &egid, &sgid) == 0 &&
	    ruid == pw->pw_uid && euid == pw->pw_uid && suid == pw->pw_uid && rgid == pw->pw_gid &&
	    egid == pw->pw_gid && sgid == pw->pw_gid)
		return 0;
	log_message("identity switch incomplete: %s %d\n", pw->pw_name,
		    static_cast<int>(pw->pw_uid));
	return -1;
}

int become_user(const char *name, uid_t uid, const char *fallback_dir)
{
	const passwd *pw = getpwnam(name);
	if (pw == nullptr || pw->pw_uid != uid) {
		log_message("failed to get uid for %s\n", name);
		return -1;
	}
	if (set_user_environment(pw) != 0)
		return -1;
	if (fsize_lifted && setrlimit(RLIMIT_FSIZE, &caller_fsize) != 0) {
		log_message("setrlimit failed: %s %s\n", name, strerror(errno));
		return -1;
	}
	// Groups first: once the user id is given up, they can no longer be set.
	if (initgroups(name, pw->pw_gid) != 0) {
		log_message("initgroups failed: %s %s\n", name, strerror(errno));
		return -1;
	}
	if (setregid(pw->pw_gid, pw->pw_gid) != 0) {
		log_message("setregid failed: %s %d\n", name, static_cast<int>(pw->pw_gid));
		return -1;
	}
	if (setreuid(pw->pw_uid, pw->pw_uid) != 0) {
		log_message("setreuid failed: %s %d\n", name, static_cast<int>(pw->pw_uid));
		return -1;
	}
	if (check_switched(pw) != 0)
		return -1;
	if (fallback_dir != nullptr && enter_home(pw, fallback_dir) != 0)
		return -1;
	return static_cast<int>(pw->pw_uid);
}
