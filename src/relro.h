#pragma once

// A dynamic loader makes the part of the program that relocation writes
// (GNU_RELRO: the GOT, init and fini arrays, relocated constants) read-only
// once it is done. A static program relocates itself, and musl's start-up
// leaves that part writable. 0, or -1 with errno from mprotect.
int seal_relro();
