#pragma once

#include <sys/types.h>

// Who the invoker and the target are, by the user database. Functions
// report their own failures and return 0, or -1 when the command must refuse.

// A login name with its terminating NUL; longer names are refused.
static const unsigned long login_name_size = 256;

// The invoking user, on whose behalf the children act.
struct Invoker {
	char name[login_name_size];
	uid_t uid;
};

// Finds the invoker by the real user id, and the effective one. invoker->name
// stays empty when the user database has no entry for the id.
int find_invoker(Invoker *invoker, uid_t *effective_uid);

// Whether name is found and gives the invoker's own user id.
bool names_invoker(const char *name, const Invoker *invoker);

// Finds the user that -u names: the crontab is named after the name that
// user's id maps to, so that two names sharing one id share one crontab.
int find_target(const char *name, char (&target)[login_name_size]);
