// The caller's file-size limit: lifted for this process, as far as it may
// be, and given back to every child that becomes the user.

#include "size_limit.h"

#include <limits.h>
#include <sys/resource.h>

static rlimit caller_limit;
static bool lifted;

void lift_size_limit()
{
	if (getrlimit(RLIMIT_FSIZE, &caller_limit) != 0 || caller_limit.rlim_cur == RLIM_INFINITY)
		return;
	// Raising the hard limit needs CAP_SYS_RESOURCE; without it the soft one
	// can still reach the hard one, and the writes check what is left.
	rlimit up = {RLIM_INFINITY, RLIM_INFINITY};
	if (setrlimit(RLIMIT_FSIZE, &up) != 0) {
		up.rlim_cur = up.rlim_max = caller_limit.rlim_max;
		if (setrlimit(RLIMIT_FSIZE, &up) != 0)
			return;
	}
	lifted = true;
}

int restore_size_limit()
{
	return lifted ? setrlimit(RLIMIT_FSIZE, &caller_limit) : 0;
}

long long size_room()
{
	rlimit rl;
	if (getrlimit(RLIMIT_FSIZE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY ||
	    rl.rlim_cur > static_cast<rlim_t>(LLONG_MAX))
		return LLONG_MAX;
	return static_cast<long long>(rl.rlim_cur);
}
