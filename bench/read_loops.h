// The loops the counting routine is compared with, built with the same flags
// as the program.
#ifndef BENCH_READ_LOOPS_H
#define BENCH_READ_LOOPS_H

#include <stddef.h>
#include <stdint.h>

// Reads the whole file with read() into buffer, doing nothing with the bytes:
// the limit any counting through that buffer size can reach. Returns the
// number of bytes read, or -1 on an error.
int64_t ReadWholeFile(const char *path, char *buffer, size_t cbBuffer);

// Counts spaces up to the first 0x1A one character at a time with fgetc, as
// the simplest C program would. Returns -1 when the file cannot be opened.
int64_t CountSpacesWithFgetc(const char *path);

#endif
