// The one buffer that every new crontab is read into, whatever its source:
// a file the invoker named or edited, read by a child that has become the
// invoker, or standard input, read here. Reading never touches the crontab
// directory, so a broken or interrupted input never begins an install.

#include "source.h"

#include "as_user.h"
#include "copy.h"
#include "messages.h"
#include "record.h"

#include <string.h>

static char text[max_crontab_size + 1];

int read_file(const Invoker *invoker, const char *path, bool own_file, Source *source, bool *opened)
{
	long long size = read_as_user(invoker, path, own_file, text, sizeof text, opened);
	*source = {text, size};
	return size < 0 ? -1 : 0;
}

int read_input(const Crontab *crontab, Source *source)
{
	if (at_terminal())
		say("reading the new crontab from the terminal: end it with Ctrl-D at the start of "
		    "a line, or abandon it with Ctrl-C\n");
	*source = {text, 0};
	int err = read_into(0, text, sizeof text, &source->size);
	if (err == 0)
		return 0;
	log_message("unable to install %s/%s: %s\n", crontab->dir, crontab->name, strerror(err));
	return -1;
}
