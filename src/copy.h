#pragma once

// Copying between descriptors. Results are 0, or an error number; holds
// only answers.

// Writes all n bytes of buf, retrying short writes.
int write_all(int out, const char *buf, unsigned long n);

// Copies in to out in large blocks, at most limit bytes; *read_failed
// tells whether reading in was what failed. A copy that would pass limit
// fails with EFBIG before writing past it.
int copy_fd(int in, int out, long long limit, bool *read_failed);

// Reads in to its end into buf, or until size bytes fill it; *got is the
// count read.
int read_into(int in, char *buf, long long size, long long *got);

// Whether fd, read from its start, holds exactly the size bytes of text;
// a file that cannot be read does not.
bool holds(int fd, const char *text, long long size);
