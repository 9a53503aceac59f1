// Counting the spaces of a requested file.
#ifndef COUNT_COUNT_H
#define COUNT_COUNT_H

#include "platform/platform.h"

// The block a file is read in; a counted file's buffer holds two, one
// counted while the next is read. Chosen by measurement (bench/run sweeps
// 64 KiB to 4 MiB): read ahead, 1, 2 and 4 MiB counted a page-cached file
// about alike and fastest; blocks that fit a core's L2 cache (512 KiB and
// less) lost to the hand-offs between the threads, more of them the smaller
// the block.
enum { COUNT_BLOCK_SIZE = 2 << 20, COUNT_BUFFER_SIZE = 2 * COUNT_BLOCK_SIZE };

// Counts the 0x20 bytes of a text stream: the first 0x1A ends the text, and
// line ends, which text mode would translate, hold no spaces either way.
// Counting goes on across calls: pass the running count and whether the text
// has ended; returns the new count.
unsigned long long CountSpacesInBlock(const char *block, size_t cb, unsigned long long nSpaces,
                                      BOOL *pfEnded);

// Counts the spaces of an open file, reading the ranges that hold data in
// blocks of half the buffer, each read by a second thread while the one
// before it is counted (one block at a time, in turn, where the file fits one
// block or no thread can be had). Returns FALSE on a read error, or when
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
