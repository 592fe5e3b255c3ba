#pragma once

// The large buffers go after every other variable of the program and of the
// C library, so that the small ones, which every run writes, share a page or
// two rather than lie scattered between the buffers: each page a process
// first touches costs it a fault, and a listing touches none of the buffers
// but the copy's. x86-64's linkers place .lbss after .bss; elsewhere the
// order is left to the linker.
#if defined(__x86_64__)
#define LARGE_BUFFER __attribute__((section(".lbss")))
#else
#define LARGE_BUFFER
#endif
