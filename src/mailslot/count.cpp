#include "mailslot/count.h"

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

BOOL CountSpacesInFile(HANDLE hFile, char *buffer, DWORD cbBuffer,
                       unsigned long long *pnSpaces, BOOL (*keepGoing)(void))
{
    BOOL fEnded = FALSE;
    unsigned long long nSpaces = 0;
    for (;;) {
        if (keepGoing != NULL && !keepGoing())
            return FALSE;
        DWORD cbRead = 0;
        if (!ReadFile(hFile, buffer, cbBuffer, &cbRead, NULL))
            return FALSE;
        if (cbRead == 0)
            break;
        nSpaces = CountSpacesInBlock(buffer, cbRead, nSpaces, &fEnded);
        if (fEnded)
            break;
    }
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
