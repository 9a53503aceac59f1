// Counting the spaces of a requested file.
#ifndef COUNT_COUNT_H
#define COUNT_COUNT_H

#include "platform/platform.h"

// The block a file is read in. Of read calls from 64 KiB to 2 MiB, 2 MiB
// counted a page-cached file fastest, about 1.5 times as fast as 64 KiB
// (bench/run measures them all): the fewer the calls, the less each byte
// costs.
enum { COUNT_BLOCK_SIZE = 2 << 20 };

// Counts the 0x20 bytes of a text stream: the first 0x1A ends the text, and
// line ends, which text mode would translate, hold no spaces either way.
// Counting goes on across calls: pass the running count and whether the text
// has ended; returns the new count.
unsigned long long CountSpacesInBlock(const char *block, size_t cb, unsigned long long nSpaces,
                                      BOOL *pfEnded);

// Counts the spaces of an open file, reading the ranges that hold data in
// blocks through buffer; the whole file where the file system cannot tell
// them. Returns FALSE on a read error, or when keepGoing (if given) says to
// stop, checked before every block.
BOOL CountSpacesInFile(HANDLE hFile, char *buffer, DWORD cbBuffer,
                       unsigned long long *pnSpaces, BOOL (*keepGoing)(void));

// Formats n in plain decimal digits, whatever its size; returns text.
char *FormatCount(unsigned long long n, char *text, size_t cbText);

#endif
