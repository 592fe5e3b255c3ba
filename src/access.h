#pragma once

// Whether the allow and deny lists let name use the command: 0, or -1 after
// saying why not. The superuser is not to be asked about.
int check_access(const char *name);
