#include "user.h"

#include "log.h"

#include <errno.h>
#include <pwd.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static const char staging_suffix[] = ".new";

// Longest name whose staging name still fits in a file name uncut.
static const size_t max_name = 255 - (sizeof staging_suffix - 1);

// Why name cannot name a crontab, or nullptr when it can: root would write
// wherever an unsafe name leads.
static const char *unsafe_name(const char *name)
{
	size_t len = strlen(name);
	if (len > max_name)
		return "longer than 251 bytes";
	if (len == 0 || strcmp(name, ".") == 0 || strcmp(name, "..") == 0 ||
	    strcmp(name, "cron.update") == 0)
		return "it names no file of its own in the crontab directory";
	if (len >= sizeof staging_suffix - 1 &&
	    strcmp(name + len - (sizeof staging_suffix - 1), staging_suffix) == 0)
		return "it ends in \".new\", as staging files do";
	for (const char *p = name; *p != '\0'; p++)
		if (*p == '/' || static_cast<unsigned char>(*p) < 0x20 || *p == 0x7f)
			return "it contains '/' or a control character";
	return nullptr;
}

// A name that the user database gives to another user id too must not name
// a crontab: root would act for the other user.
static int check_unambiguous(const char *name, uid_t uid)
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

// Copies the entry's login name and checks it. Names too long for the
// buffer are refused as they always were. The superuser's own name gains
// nobody anything.
static int take_name(char (&name)[login_name_size], const passwd *pw)
{
	uid_t uid = pw->pw_uid;
	char safe[1024];
	if (snprintf(name, sizeof name, "%s", pw->pw_name) >= static_cast<int>(sizeof name)) {
		log_message("username '%s' too long", escape(name, safe, sizeof safe));
		return -1;
	}
	const char *why = unsafe_name(name);
	if (why != nullptr) {
		log_message("login name '%s' cannot name a crontab: %s\n",
			    escape(name, safe, sizeof safe), why);
		return -1;
	}
	return uid != 0 ? check_unambiguous(name, uid) : 0;
}

int find_invoker(Invoker *invoker, uid_t *effective_uid)
{
	invoker->name[0] = '\0';
	uid_t saved_uid;
	if (getresuid(&invoker->uid, effective_uid, &saved_uid) != 0) {
		log_message("getresuid: %s\n", strerror(errno));
		return -1;
	}
	const passwd *pw = getpwuid(invoker->uid);
	if (pw == nullptr) {
		log_message("getpwuid: %s\n", strerror(errno));
		return -1;
	}
	return take_name(invoker->name, pw);
}

bool names_invoker(const char *name, const Invoker *invoker)
{
	const passwd *pw = name[0] != '\0' ? getpwnam(name) : nullptr;
	return pw != nullptr && pw->pw_uid == invoker->uid;
}

int find_target(const char *name, char (&target)[login_name_size])
{
	const passwd *pw = getpwnam(name);
	if (pw == nullptr) {
		log_message("user '%s' unknown", name);
		return -1;
	}
	pw = getpwuid(pw->pw_uid);
	if (pw == nullptr) {
		log_message("getpwuid: %s\n", strerror(errno));
		return -1;
	}
	return take_name(target, pw);
}
