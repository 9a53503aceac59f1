#include "count/count.h"

#include <string.h>

// Counts in runs of 224 bytes, a whole number of 16- and 32-byte vectors,
// with byte-wide counters that cannot overflow in a run: the compiler keeps
// them in vector registers, at -O2 as well as -O3.
enum { COUNT_RUN = 224 };

static unsigned long long CountSpacesIn(const unsigned char *p, size_t cb)
{
    unsigned long long total = 0;
    for (; cb >= COUNT_RUN; p += COUNT_RUN, cb -= COUNT_RUN) {
        unsigned char n = 0;
        for (size_t i = 0; i < COUNT_RUN; i++)
            n = (unsigned char)(n + (p[i] == ' '));
        total += n;
    }
    for (size_t i = 0; i < cb; i++)
        total += p[i] == ' ';
    return total;
}

unsigned long long CountSpacesInBlock(const char *block, size_t cb, unsigned long long nSpaces,
                                      BOOL *pfEnded)
{
    if (*pfEnded)
        return nSpaces;
    const void *eof = memchr(block, 0x1A, cb);
    if (eof != NULL) {
        cb = (size_t)((const char *)eof - block);
        *pfEnded = TRUE;
    }
    return nSpaces + CountSpacesIn((const unsigned char *)block, cb);
}

// How many ranges one query of a file's data ranges can answer; a file with
// more is asked again from where the last answer ended.
enum { RANGES_PER_QUERY = 64 };

static const LONGLONG TO_THE_END = 0x7FFFFFFFFFFFFFFFLL;

static BOOL SeekTo(HANDLE hFile, LONGLONG offset)
{
    LARGE_INTEGER at;
    at.QuadPart = offset;
    SetLastError(NO_ERROR); // the low part alone cannot tell a failure
    return SetFilePointer(hFile, (LONG)at.u.LowPart, &at.u.HighPart, FILE_BEGIN) !=
               INVALID_SET_FILE_POINTER ||
           GetLastError() == NO_ERROR;
}

// Counts cbSpan bytes from offset on, or up to the end of the file or of the
// text, a block at a time. A file that ends sooner, cut while counted, ends
// the text. Returns FALSE on a read error, or when keepGoing says to stop.
static BOOL CountSpan(HANDLE hFile, LONGLONG offset, LONGLONG cbSpan, char *buffer,
                      DWORD cbBuffer, unsigned long long *pnSpaces, BOOL *pfEnded,
                      BOOL (*keepGoing)(void))
{
    if (!SeekTo(hFile, offset))
        return FALSE;
    while (cbSpan > 0 && !*pfEnded) {
        if (keepGoing != NULL && !keepGoing())
            return FALSE;
        DWORD cbRead = 0;
        DWORD cbWant = cbSpan < (LONGLONG)cbBuffer ? (DWORD)cbSpan : cbBuffer;
        if (!ReadFile(hFile, buffer, cbWant, &cbRead, NULL))
            return FALSE;
        if (cbRead == 0) {
            *pfEnded = TRUE;
            break;
        }
        *pnSpaces = CountSpacesInBlock(buffer, cbRead, *pnSpaces, pfEnded);
        cbSpan -= cbRead;
    }
    return TRUE;
}

BOOL CountSpacesInFile(HANDLE hFile, char *buffer, DWORD cbBuffer,
                       unsigned long long *pnSpaces, BOOL (*keepGoing)(void))
{
    FILE_ALLOCATED_RANGE_BUFFER query;
    FILE_ALLOCATED_RANGE_BUFFER ranges[RANGES_PER_QUERY];
    LARGE_INTEGER size;
    BOOL fEnded = FALSE;
    unsigned long long nSpaces = 0;
    LONGLONG next = 0; // every byte before it is counted

    // Holes read as zeros, which hold neither a space nor the end mark: only
    // the ranges that hold data are read, in order. Where the file system
    // cannot tell, the rest of the file is read in full.
    BOOL fTold = GetFileSizeEx(hFile, &size);
    while (fTold && !fEnded && next < size.QuadPart) {
        DWORD cbReturned = 0;
        query.FileOffset.QuadPart = next;
        query.Length.QuadPart = size.QuadPart - next;
        BOOL fAll = DeviceIoControl(hFile, FSCTL_QUERY_ALLOCATED_RANGES, &query, sizeof query,
                                    ranges, sizeof ranges, &cbReturned, NULL);
        if (!fAll && GetLastError() != ERROR_MORE_DATA)
            fTold = FALSE;
        LONGLONG before = next;
        for (DWORD i = 0; fTold && !fEnded && i < cbReturned / sizeof ranges[0]; i++) {
            // Only the part of the range still to count, within [next, size).
            LONGLONG start = ranges[i].FileOffset.QuadPart;
            LONGLONG length = ranges[i].Length.QuadPart;
            LONGLONG end = start >= 0 && length >= 0 && length <= size.QuadPart - start
                               ? start + length
                               : size.QuadPart;
            if (start < next)
                start = next;
            if (start >= end)
                continue;
            if (!CountSpan(hFile, start, end - start, buffer, cbBuffer, &nSpaces, &fEnded,
                           keepGoing))
                return FALSE;
            next = end;
        }
        if (fAll)
            break;
        if (next == before) // more data, yet no step forward
            fTold = FALSE;
    }
    if (!fTold && !fEnded &&
        !CountSpan(hFile, next, TO_THE_END, buffer, cbBuffer, &nSpaces, &fEnded, keepGoing))
        return FALSE;
    *pnSpaces = nSpaces;
    return TRUE;
}

char *FormatCount(unsigned long long n, char *text, size_t cbText)
{
    char digits[24];
    size_t len = 0;
    do {
        digits[len++] = (char)('0' + n % 10);
        n /= 10;
    } while (n != 0);
    size_t i = 0;
    for (; i < len && i + 1 < cbText; i++)
        text[i] = digits[len - 1 - i];
    if (cbText > 0)
        text[i] = '\0';
    return text;
}
