// Who the invoker and the target are, by the user database alone: the
// invoker is the real user id, and a crontab is named after the name that
// a user id maps to, refused when that name cannot name a crontab or names
// another user id too. Only the user database is read.

#include "user.h"

#include "messages.h"
#include "record.h"
#include "store.h"

#include <errno.h>
#include <pwd.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

// A name that the user database gives to another user id too must not name
// a crontab: root would act for the other user.
static int check_unambiguous(const char *name, uid_t uid)
{
	const passwd *pw = getpwnam(name);
	if (pw != nullptr && pw->pw_uid == uid)
		return 0;
	char safe[1024];
	if (pw == nullptr)
		log_message("login name '%s' of user id %u is not found by name\n",
			    escape(name, safe, sizeof safe), static_cast<unsigned>(uid));
	else
		log_message("login name '%s' of user id %u names user id %u too; refusing it\n",
			    escape(name, safe, sizeof safe), static_cast<unsigned>(uid),
			    static_cast<unsigned>(pw->pw_uid));
	return -1;
}

// Copies the entry's login name and checks it. Names too long for the
// buffer are refused as they always were. The superuser's own name gains
// nobody anything.
static int copy_name(char (&name)[login_name_size], const passwd *pw)
{
	uid_t uid = pw->pw_uid;
	char safe[1024];
	if (snprintf(name, sizeof name, "%s", pw->pw_name) >= static_cast<int>(sizeof name)) {
		log_message("username '%s' too long", escape(name, safe, sizeof safe));
		return -1;
	}
	const char *why = name_problem(name);
	if (why != nullptr) {
		log_message("login name '%s' cannot name a crontab: %s\n",
			    escape(name, safe, sizeof safe), why);
		return -1;
	}
	return uid != 0 ? check_unambiguous(name, uid) : 0;
}

// The entry of uid; a lookup that finds none need not set errno, and one
// that fails for another reason must not be taken for no entry.
static const passwd *entry_of(uid_t uid)
{
	errno = 0;
	const passwd *pw = getpwuid(uid);
	if (pw != nullptr)
		return pw;
	if (errno == 0 || errno == ENOENT || errno == ESRCH)
		log_message("no user database entry for user id %u\n", static_cast<unsigned>(uid));
	else
		report_call("getpwuid");
	return nullptr;
}

const passwd *find_invoker(Invoker *invoker, uid_t *effective_uid)
{
	invoker->name[0] = '\0';
	uid_t saved_uid;
	if (getresuid(&invoker->uid, effective_uid, &saved_uid) != 0) {
		report_call("getresuid");
		return nullptr;
	}
	return entry_of(invoker->uid);
}

int check_invoker(Invoker *invoker, const passwd *entry)
{
	return copy_name(invoker->name, entry);
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
	pw = entry_of(pw->pw_uid);
	return pw != nullptr ? copy_name(target, pw) : -1;
}
