#pragma once

#include <signal.h>

// What an interrupt (a hang-up, Ctrl-C or Ctrl-\, a kill, an alarm or a
// limit's signal) does to the run: uncaught, it ends the run as the system
// does. Nothing here fails: the calls cannot fail with what they are given.

// Holds interrupts back until they are unblocked, or the run ends and they
// are lost; *old, when given, is the mask before.
void block_interrupts(sigset_t *old = nullptr);

// Lets interrupts through again, or puts the mask back to old.
void unblock_interrupts(const sigset_t *old = nullptr);

// From here on an interrupt removes the file named to it (while one is),
// says message, then note, on a line of its own, and ends the run with
// status 1; interrupts are let through.
void catch_interrupts(const char *message, const char *note);

// The file an interrupt removes, or nullptr for none. Set with interrupts
// blocked, so that no handler sees it half changed.
void remove_on_interrupt(const char *path);

// For a child about to act for the user: what this run caught is back to
// the default, and nothing is blocked.
void default_interrupts();

// While another process has the terminal: Ctrl-C and Ctrl-\ are its alone
// (pass), or this run's again.
void pass_terminal_interrupts(bool pass);
