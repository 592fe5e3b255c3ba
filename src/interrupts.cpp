// What an interrupt does to the run. The handler does nothing but remove
// the one file it is told of, write what it is told and exit; it reads
// only what is set before it is installed or while interrupts are blocked.
// A signal the caller ignored stays ignored, here and in children.

#include "interrupts.h"

#include "messages.h"

#include <signal.h>
#include <unistd.h>

static const int interrupts[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM,   SIGALRM, SIGUSR1,
				 SIGUSR2, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF};
static const char *said = "";
static const char *said_note = "";
static const char *removed;
static bool caught[sizeof interrupts / sizeof interrupts[0]];
static struct sigaction terminal_actions[2];

static void on_interrupt(int /*sig*/)
{
	if (removed != nullptr)
		unlink(removed);
	// Safe in a handler: nothing but strlen and write.
	end_line();
	say_whole(said);
	say_whole(said_note);
	_exit(1);
}

static sigset_t interrupt_set()
{
	sigset_t set;
	sigemptyset(&set);
	for (int sig : interrupts)
		sigaddset(&set, sig);
	return set;
}

void block_interrupts(sigset_t *old)
{
	sigset_t set = interrupt_set();
	sigprocmask(SIG_BLOCK, &set, old);
}

void unblock_interrupts(const sigset_t *old)
{
	sigset_t set = interrupt_set();
	if (old != nullptr)
		sigprocmask(SIG_SETMASK, old, nullptr);
	else
		sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

void catch_interrupts(const char *message, const char *note)
{
	block_interrupts();
	said = message;
	said_note = note;
	struct sigaction sa = {};
	sa.sa_handler = on_interrupt;
	sa.sa_mask = interrupt_set();
	for (unsigned i = 0; i < sizeof interrupts / sizeof interrupts[0]; i++) {
		struct sigaction old;
		if (caught[i] ||
		    (sigaction(interrupts[i], nullptr, &old) == 0 && old.sa_handler != SIG_IGN))
			caught[i] = sigaction(interrupts[i], &sa, nullptr) == 0;
	}
	unblock_interrupts();
}

void remove_on_interrupt(const char *path)
{
	removed = path;
}

void default_interrupts()
{
	struct sigaction sa = {};
	sa.sa_handler = SIG_DFL;
	for (unsigned i = 0; i < sizeof interrupts / sizeof interrupts[0]; i++)
		if (caught[i])
			sigaction(interrupts[i], &sa, nullptr);
	unblock_interrupts();
}

void pass_terminal_interrupts(bool pass)
{
	static const int terminal[] = {SIGINT, SIGQUIT};
	struct sigaction ignore = {};
	ignore.sa_handler = SIG_IGN;
	for (int i = 0; i < 2; i++)
		if (pass)
			sigaction(terminal[i], &ignore, &terminal_actions[i]);
		else
			sigaction(terminal[i], &terminal_actions[i], nullptr);
}
