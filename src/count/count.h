// Counting the spaces of a requested file.
#ifndef COUNT_COUNT_H
#define COUNT_COUNT_H

#include "platform/platform.h"

// The block a file is read in; a counted file's buffer holds two, one for
// each of the two threads that read and count it. Chosen by measurement
// (bench/run sweeps 64 KiB to 4 MiB): a block that stays in a core's L2
// cache between its read and its count, on machines with 512 KiB of L2 per
// core and more, is counted from there; larger blocks are counted from
// memory, and smaller ones add system calls.
enum { COUNT_BLOCK_SIZE = 256 << 10, COUNT_BUFFER_SIZE = 2 * COUNT_BLOCK_SIZE };

// Counts the 0x20 bytes of a text stream: the first 0x1A ends the text, and
// line ends, which text mode would translate, hold no spaces either way.
// Counting goes on across calls: pass the running count and whether the text
// has ended; returns the new count.
unsigned long long CountSpacesInBlock(const char *block, size_t cb, unsigned long long nSpaces,
                                      BOOL *pfEnded);

// Counts the spaces of an open file, reading the ranges that hold data in
// blocks of half the buffer: two threads, this one and a second with a
// handle of its own, each read a block and count it, taking the blocks in
// turn (one block at a time in this thread, where the file fits one block or
// no thread or handle can be had). Returns FALSE on a read error, or when
// keepGoing (if given) says to stop, checked before every block is read; the
// reading has ended either way.
BOOL CountSpacesInFile(HANDLE hFile, char *buffer, DWORD cbBuffer,
                       unsigned long long *pnSpaces, BOOL (*keepGoing)(void));

// The counting kernels this machine can run: kernel 0 is the plain one,
// then each wider one the processor offers; counting uses the last.
int CountKernels(void);
const char *CountKernelName(int iKernel); // NULL when there is no such kernel
int CountKernelInUse(void);
// Counts with kernel iKernel from now on, for tests and benchmarks; FALSE
// when this machine cannot run it.
BOOL UseCountKernel(int iKernel);
// The 0x20 bytes of block[0, cb), counted by kernel iKernel.
size_t CountSpacesWithKernel(int iKernel, const char *block, size_t cb);

// Formats n in plain decimal digits, whatever its size; returns text.
char *FormatCount(unsigned long long n, char *text, size_t cbText);

#endif
