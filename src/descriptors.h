#pragma once

// Puts a stand-in on each of 0, 1 and 2 that the caller left closed, one
// that faces the wrong way, so that using it fails as a closed one would.
// In a set-user-id run the null device open for reading and writing counts
// as closed: it is what some C libraries put in a closed one's place.
// 0, or -1 when a stand-in cannot be put in place.
int guard_standard_descriptors();
