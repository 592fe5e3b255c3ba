#pragma once

#include <sys/types.h>

// The record of the run in the system log: who ran the command, what it
// was to do, each change announced before it is made, and how the run
// ended, with what was said of its failures. announce returns 0, or -1
// after the failure was reported; the others return nothing, since a
// record that cannot be sent once the run has ended changes nothing the
// run can still act on.

// Says on standard error what went wrong, formatted as say formats, and
// keeps it for the records of how the run ended.
void log_message(const char *format, ...) __attribute__((format(printf, 1, 2)));

// The one phrasing of a failed call: "call: error text\n", from errno.
void report_call(const char *call);

// log_message for a text said whole, however long.
void log_whole(const char *text);

// Who runs this: "alice (uid 2001)", or "(uid 2001)" for a user id with
// no name. Every record starts with it.
void record_who(const char *name, uid_t uid);

// What the run is to do, text ("edit crontab of alice"); the records of a
// change start with who and this.
void record_action(const char *text);

// "refused what: because; what was said", of who alone; what and because
// may be empty.
void record_refusal(const char *what, const char *because);

// "failed: what was said".
void record_failure();

// How a change ended: words ("installed"), with what was said besides;
// nothing when it was announced and ended as announced, quietly.
void record_outcome(const char *words, bool announced);

// Puts a change on record before it is made: a limit or a kill that stops
// the record stops the change with it. 0 when it is on record or no logger
// listens.
int announce(const char *format, ...) __attribute__((format(printf, 1, 2)));
