#pragma once

#include <pwd.h>
#include <sys/types.h>

// Who the invoker and the target are, by the user database. Functions
// report their own failures; an int is 0, or -1 when the command must
// refuse, and a pointer is nullptr then. names_invoker only answers.

// A login name with its terminating NUL; longer names are refused.
static const unsigned long login_name_size = 256;

// The invoking user, on whose behalf the children act.
struct Invoker {
	char name[login_name_size];
	uid_t uid;
};

// The ids of this process, real (invoker->uid) and effective, and the user
// database's entry for the real one; invoker->name is left empty.
const passwd *find_invoker(Invoker *invoker, uid_t *effective_uid);

// Gives the invoker the entry's login name, and checks that it can
// name a crontab and names no other user id.
int check_invoker(Invoker *invoker, const passwd *entry);

// Whether name is found and gives the invoker's own user id.
bool names_invoker(const char *name, const Invoker *invoker);

// Finds the user that -u names: the crontab is named after the name that
// user's id maps to, so that two names sharing one id share one crontab.
int find_target(const char *name, char (&target)[login_name_size]);
