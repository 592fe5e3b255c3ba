// Seals the relocated read-only data of a static program, as a dynamic
// loader would: only the program's own GNU_RELRO segment, rounded to pages
// as a loader rounds it, is touched.

#include "relro.h"

#include <link.h>
#include <stdint.h>
#include <sys/mman.h>
#include <unistd.h>

// The linker puts the ELF header at the start of the first segment, so its
// address is where the program was loaded; the name is the linker's.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" const ElfW(Ehdr) __ehdr_start;

int seal_relro()
{
	const auto *image = reinterpret_cast<const char *>(&__ehdr_start);
	const auto *headers = reinterpret_cast<const ElfW(Phdr) *>(image + __ehdr_start.e_phoff);
	const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
	for (int i = 0; i < __ehdr_start.e_phnum; i++) {
		if (headers[i].p_type != PT_GNU_RELRO)
			continue;
		// Rounded down at both ends, as a loader does: the linker ends the
		// segment on a page boundary, and what shares its first page
		// below it is a copy of read-only data.
		const char *start = image + headers[i].p_vaddr;
		const char *end = start + headers[i].p_memsz;
		start -= reinterpret_cast<uintptr_t>(start) & (page - 1);
		end -= reinterpret_cast<uintptr_t>(end) & (page - 1);
		const auto size = static_cast<size_t>(end - start);
		if (end > start && mprotect(const_cast<char *>(start), size, PROT_READ) != 0)
			return -1;
	}
	return 0;
}
