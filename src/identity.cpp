#include "identity.h"

#include "log.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

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

int become_user(const char *name, const char *fallback_dir)
{
	const passwd *pw = getpwnam(name);
	if (pw == nullptr) {
		log_message("failed to get uid for %s\n", name);
		return -1;
	}
	if (set_user_environment(pw) != 0)
		return -1;
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
	if (fallback_dir != nullptr && enter_home(pw, fallback_dir) != 0)
		return -1;
	return static_cast<int>(pw->pw_uid);
}
