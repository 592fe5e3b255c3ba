#include "descriptors.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#ifdef CRONTAB_ENTRY_POLL
// For a set-user-id program, musl's start-up opens /dev/null for reading
// and writing on each of 0, 1 and 2 that is closed, before main can look:
// closed input would read as empty and install an empty crontab. So the
// program's entry looks first, with the C library not yet started (no
// stack guard, no thread pointer, not relocated): bit fd is set for each
// closed descriptor, bit 3 when the look itself failed.
extern "C" __attribute__((visibility("hidden"))) unsigned char closed_at_entry;
unsigned char closed_at_entry;

#if !defined(__x86_64__)
#error "the entry's look at the standard descriptors is written for x86-64"
#endif
// poll(fds 0, 1 and 2 in a struct pollfd[3] below the stack pointer, 3, 0);
// each revents holding POLLNVAL (0x20) sets its descriptor's bit; then on
// to the C library's own entry, with the stack as the kernel left it.
__asm__(".text\n"
	".globl crontab_entry\n"
	".hidden crontab_entry\n"
	".type crontab_entry, @function\n"
	"crontab_entry:\n"
	"	endbr64\n"
	"	movq $0, -24(%rsp)\n"
	"	movq $1, -16(%rsp)\n"
	"	movq $2, -8(%rsp)\n"
	"	leaq -24(%rsp), %rdi\n"
	"	movl $3, %esi\n"
	"	xorl %edx, %edx\n"
	"	movl $7, %eax\n"
	"	syscall\n"
	"	xorl %ecx, %ecx\n"
	"	testb $0x20, -18(%rsp)\n"
	"	jz 1f\n"
	"	orb $1, %cl\n"
	"1:	testb $0x20, -10(%rsp)\n"
	"	jz 2f\n"
	"	orb $2, %cl\n"
	"2:	testb $0x20, -2(%rsp)\n"
	"	jz 3f\n"
	"	orb $4, %cl\n"
	"3:	testq %rax, %rax\n"
	"	jns 4f\n"
	"	movb $8, %cl\n"
	"4:	movb %cl, closed_at_entry(%rip)\n"
	"	jmp _start\n"
	".size crontab_entry, . - crontab_entry\n");

static int closed_descriptors()
{
	return closed_at_entry & 8 ? -1 : closed_at_entry;
}
#else
// The C library leaves a closed descriptor closed, or puts a stand-in there
// that already faces the wrong way.
static int closed_descriptors()
{
	pollfd fds[3] = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}};
	if (poll(fds, 3, 0) < 0)
		return -1;
	int closed = 0;
	for (int fd = 0; fd <= 2; fd++)
		if ((fds[fd].revents & POLLNVAL) != 0)
			closed |= 1 << fd;
	return closed;
}
#endif

int guard_standard_descriptors()
{
	int closed = closed_descriptors();
	if (closed < 0)
		return -1;
	for (int fd = 0; fd <= 2; fd++) {
		if ((closed & 1 << fd) == 0)
			continue;
		int stand_in = open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
		if (stand_in == fd)
			continue;
		// The C library's stand-in holds the number: this one replaces it.
		if (stand_in < 0 || dup2(stand_in, fd) != fd || close(stand_in) != 0)
			return -1;
	}
	return 0;
}
