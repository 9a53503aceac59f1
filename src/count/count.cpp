#include "count/count.h"

#include <string.h>

#include "count/count_kernels.h"

// ---- Kernels ----

// Counts in runs of 224 bytes, a whole number of 16- and 32-byte vectors,
// with byte-wide counters that cannot overflow in a run: the compiler keeps
// them in vector registers, at -O2 as well as -O3, where its target has them.
enum { COUNT_RUN = 224 };

static size_t CountSpacesPlain(const unsigned char *p, size_t cb)
{
    size_t total = 0;
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

enum { MAX_KERNELS = 8 };

// The kernels the processor can run, plainest first, found once; and the one
// counting uses, the widest unless a test or benchmark chose another.
static SpaceKernel kernels[MAX_KERNELS];
static const char *szKernelNames[MAX_KERNELS];
static int nKernels = 0;
static int iKernelInUse = -1;

static void FindKernels(void)
{
    if (nKernels > 0)
        return;
    kernels[0] = CountSpacesPlain;
    szKernelNames[0] = "plain";
    int n = 1;
    for (int i = 0; i < nVectorKernels && n < MAX_KERNELS; i++) {
        if (IsProcessorFeaturePresent((DWORD)vectorKernels[i].dwFeature)) {
            kernels[n] = vectorKernels[i].count;
            szKernelNames[n++] = vectorKernels[i].szName;
        }
    }
    nKernels = n;
}

static int ChosenKernel(void)
{
    FindKernels();
    if (iKernelInUse < 0)
        iKernelInUse = nKernels - 1;
    return iKernelInUse;
}

// Chosen at start-up, before any thread of the program runs.
static const int iKernelAtStartUp = ChosenKernel();

int CountKernels(void)
{
    FindKernels();
    return nKernels;
}

const char *CountKernelName(int iKernel)
{
    FindKernels();
    return iKernel >= 0 && iKernel < nKernels ? szKernelNames[iKernel] : NULL;
}

int CountKernelInUse(void)
{
    return ChosenKernel();
}

BOOL UseCountKernel(int iKernel)
{
    FindKernels();
    if (iKernel < 0 || iKernel >= nKernels)
        return FALSE;
    iKernelInUse = iKernel;
    return TRUE;
}

size_t CountSpacesWithKernel(int iKernel, const char *block, size_t cb)
{
    FindKernels();
    SpaceKernel count = iKernel >= 0 && iKernel < nKernels ? kernels[iKernel] : CountSpacesPlain;
    return count((const unsigned char *)block, cb);
}

// The end mark is looked for, and the spaces counted, a piece at a time: a
// piece the size of the first-level cache is still there for the count after
// the search has read it, so the block crosses the memory bus once, not twice.
enum { COUNT_PIECE = 16 << 10 };

unsigned long long CountSpacesInBlock(const char *block, size_t cb, unsigned long long nSpaces,
                                      BOOL *pfEnded)
{
    SpaceKernel count = kernels[ChosenKernel()];
    while (cb > 0 && !*pfEnded) {
        size_t cbPiece = cb < (size_t)COUNT_PIECE ? cb : (size_t)COUNT_PIECE;
        const void *eof = memchr(block, 0x1A, cbPiece);
        if (eof != NULL) {
            cbPiece = (size_t)((const char *)eof - block);
            *pfEnded = TRUE;
        }
        nSpaces += count((const unsigned char *)block, cbPiece);
        block += cbPiece;
        cb -= cbPiece;
    }
    return nSpaces;
}

// ---- Reading ----

// How many ranges one query of a file's data ranges can answer; a file with
// more is asked again from where the last answer ended.
enum { RANGES_PER_QUERY = 64 };

static const LONGLONG TO_THE_END = 0x7FFFFFFFFFFFFFFFLL;

// What reading a block came to. The end: of the file, of its data, or a file
// cut short while counted, which ends the text.
enum ReadResult { READ_BLOCK, READ_END, READ_FAILED, READ_STOPPED };

// Which part of the file is read: the ranges that hold data, as the file
// system tells them; the rest in full from the first byte not yet read, where
// it cannot; or nothing more.
enum ReadPhase { PHASE_RANGES, PHASE_REST, PHASE_DONE };

// Where the reading of a file stands, so it can go on a block at a time.
typedef struct FileReader {
    HANDLE hFile;
    BOOL (*keepGoing)(void);
    LONGLONG size;
    ReadPhase phase;
    FILE_ALLOCATED_RANGE_BUFFER ranges[RANGES_PER_QUERY]; // the last answer
    DWORD nRanges;
    DWORD iRange;       // the next range of the answer to read
    BOOL fAnswered;     // the file system answered at least once
    BOOL fAll;          // the last answer held every range to the end
    LONGLONG next;      // every byte before it is read, or a hole
    LONGLONG before;    // next when the last answer came
    LONGLONG cbLeft;    // of the span being read
} FileReader;

static BOOL SeekTo(HANDLE hFile, LONGLONG offset)
{
    LARGE_INTEGER at;
    at.QuadPart = offset;
    SetLastError(NO_ERROR); // the low part alone cannot tell a failure
    return SetFilePointer(hFile, (LONG)at.u.LowPart, &at.u.HighPart, FILE_BEGIN) !=
               INVALID_SET_FILE_POINTER ||
           GetLastError() == NO_ERROR;
}

static void StartReading(FileReader *r, HANDLE hFile, BOOL (*keepGoing)(void))
{
    memset(r, 0, sizeof *r);
    r->hFile = hFile;
    r->keepGoing = keepGoing;
    LARGE_INTEGER size;
    if (GetFileSizeEx(hFile, &size)) {
        r->size = size.QuadPart;
        r->phase = PHASE_RANGES;
    } else {
        r->phase = PHASE_REST;
    }
}

// Asks the file system for the data ranges from next to the end. Holes read
// as zeros, which hold neither a space nor the end mark, so only the ranges
// are read, in order; where the file system cannot tell, the rest in full.
static void AskForRanges(FileReader *r)
{
    FILE_ALLOCATED_RANGE_BUFFER query;
    DWORD cbReturned = 0;
    query.FileOffset.QuadPart = r->next;
    query.Length.QuadPart = r->size - r->next;
    r->fAll = DeviceIoControl(r->hFile, FSCTL_QUERY_ALLOCATED_RANGES, &query, sizeof query,
                              r->ranges, sizeof r->ranges, &cbReturned, NULL);
    if (!r->fAll && GetLastError() != ERROR_MORE_DATA) {
        r->phase = PHASE_REST;
        return;
    }
    r->nRanges = cbReturned / sizeof r->ranges[0];
    r->iRange = 0;
    r->before = r->next;
    r->fAnswered = TRUE;
}

// The next span to read, [*pStart, *pStart + *pcbSpan); FALSE when none is
// left.
static BOOL NextSpan(FileReader *r, LONGLONG *pStart, LONGLONG *pcbSpan)
{
    for (;;) {
        if (r->phase == PHASE_DONE)
            return FALSE;
        if (r->phase == PHASE_REST) {
            r->phase = PHASE_DONE;
            *pStart = r->next;
            *pcbSpan = TO_THE_END;
            return TRUE;
        }
        while (r->iRange < r->nRanges) {
            // Only the part of the range still to read, within [next, size).
            const FILE_ALLOCATED_RANGE_BUFFER *range = &r->ranges[r->iRange++];
            LONGLONG start = range->FileOffset.QuadPart;
            LONGLONG length = range->Length.QuadPart;
            LONGLONG end = start >= 0 && length >= 0 && length <= r->size - start
                               ? start + length
                               : r->size;
            if (start < r->next)
                start = r->next;
            if (start >= end)
                continue;
            r->next = end;
            *pStart = start;
            *pcbSpan = end - start;
            return TRUE;
        }
        if (r->fAnswered && r->fAll)
            r->phase = PHASE_DONE;
        else if (r->fAnswered && r->next == r->before) // more data, yet no step forward
            r->phase = PHASE_REST;
        else if (r->next >= r->size)
            r->phase = PHASE_DONE;
        else
            AskForRanges(r);
    }
}

// Reads the next block of data into block, at most cbBlock bytes, after
// asking keepGoing.
static ReadResult ReadNextBlock(FileReader *r, char *block, DWORD cbBlock, DWORD *pcbRead)
{
    while (r->cbLeft == 0) {
        LONGLONG start = 0;
        if (!NextSpan(r, &start, &r->cbLeft))
            return READ_END;
        if (!SeekTo(r->hFile, start))
            return READ_FAILED;
    }
    if (r->keepGoing != NULL && !r->keepGoing())
        return READ_STOPPED;
    *pcbRead = 0;
    DWORD cbWant = r->cbLeft < (LONGLONG)cbBlock ? (DWORD)r->cbLeft : cbBlock;
    if (!ReadFile(r->hFile, block, cbWant, pcbRead, NULL))
        return READ_FAILED;
    if (*pcbRead == 0)
        return READ_END;
    r->cbLeft -= *pcbRead;
    return READ_BLOCK;
}

// Reads and counts one block after the other in this thread.
static ReadResult CountInTurn(FileReader *r, char *buffer, DWORD cbBuffer,
                              unsigned long long *pnSpaces)
{
    BOOL fEnded = FALSE;
    for (;;) {
        DWORD cbRead = 0;
        ReadResult result = ReadNextBlock(r, buffer, cbBuffer, &cbRead);
        if (result != READ_BLOCK)
            return result;
        *pnSpaces = CountSpacesInBlock(buffer, cbRead, *pnSpaces, &fEnded);
        if (fEnded)
            return READ_END;
    }
}

// Reading ahead: a reader thread fills the two blocks in turn while this
// thread counts the other. Block i passes to the counter by hFull[i] and back
// by hFree[i], so each block has one owner at a time; the reader only reads
// (and asks keepGoing), the counter only counts.
typedef struct ReadAhead {
    FileReader reader;
    char *blocks[2];
    DWORD cbBlock;
    DWORD cbRead[2];
    ReadResult results[2];
    HANDLE hFull[2];
    HANDLE hFree[2];
    HANDLE hThread;
    LONG volatile fQuit; // the counter takes no more blocks
} ReadAhead;

static DWORD WINAPI ReadAheadThread(LPVOID lpParameter)
{
    ReadAhead *ra = (ReadAhead *)lpParameter;
    for (int i = 0;; i ^= 1) {
        if (WaitForSingleObject(ra->hFree[i], INFINITE) != WAIT_OBJECT_0)
            ra->results[i] = READ_FAILED;
        else if (InterlockedCompareExchange(&ra->fQuit, 0, 0) != 0)
            return 0;
        else
            ra->results[i] = ReadNextBlock(&ra->reader, ra->blocks[i], ra->cbBlock, &ra->cbRead[i]);
        SetEvent(ra->hFull[i]);
        if (ra->results[i] != READ_BLOCK)
            return 0;
    }
}

static void CloseReadAheadEvents(ReadAhead *ra)
{
    for (int i = 0; i < 2; i++) {
        if (ra->hFull[i] != NULL)
            CloseHandle(ra->hFull[i]);
        if (ra->hFree[i] != NULL)
            CloseHandle(ra->hFree[i]);
    }
}

// Starts the reader; FALSE, with nothing left open, when the system has no
// thread or event to spare.
static BOOL StartReadAhead(ReadAhead *ra, char *buffer, DWORD cbBlock)
{
    ra->blocks[0] = buffer;
    ra->blocks[1] = buffer + cbBlock;
    ra->cbBlock = cbBlock;
    ra->fQuit = FALSE;
    BOOL fMade = TRUE;
    for (int i = 0; i < 2; i++) {
        ra->hFull[i] = CreateEventA(NULL, FALSE, FALSE, NULL);
        ra->hFree[i] = CreateEventA(NULL, FALSE, TRUE, NULL);
        fMade = fMade && ra->hFull[i] != NULL && ra->hFree[i] != NULL;
    }
    ra->hThread = fMade ? CreateThread(NULL, 0, ReadAheadThread, ra, 0, NULL) : NULL;
    if (ra->hThread == NULL) {
        CloseReadAheadEvents(ra);
        return FALSE;
    }
    return TRUE;
}

// Counts the blocks the reader fills, then ends the reader: it may be
// reading the other block or waiting for one, and lets go of the buffer
// before this returns.
static ReadResult CountReadAhead(ReadAhead *ra, unsigned long long *pnSpaces)
{
    BOOL fEnded = FALSE;
    ReadResult result;
    for (int i = 0;; i ^= 1) {
        if (WaitForSingleObject(ra->hFull[i], INFINITE) != WAIT_OBJECT_0) {
            result = READ_FAILED;
            break;
        }
        result = ra->results[i];
        if (result != READ_BLOCK)
            break;
        *pnSpaces = CountSpacesInBlock(ra->blocks[i], ra->cbRead[i], *pnSpaces, &fEnded);
        if (fEnded) {
            result = READ_END;
            break;
        }
        SetEvent(ra->hFree[i]);
    }
    InterlockedExchange(&ra->fQuit, TRUE);
    SetEvent(ra->hFree[0]);
    SetEvent(ra->hFree[1]);
    WaitForSingleObject(ra->hThread, INFINITE);
    CloseHandle(ra->hThread);
    CloseReadAheadEvents(ra);
    return result;
}

BOOL CountSpacesInFile(HANDLE hFile, char *buffer, DWORD cbBuffer,
                       unsigned long long *pnSpaces, BOOL (*keepGoing)(void))
{
    ReadAhead ra;
    unsigned long long nSpaces = 0;
    ReadResult result;
    StartReading(&ra.reader, hFile, keepGoing);
    DWORD cbBlock = cbBuffer / 2;
    // A file of one block gains nothing from a second thread.
    BOOL fSeveralBlocks = ra.reader.phase == PHASE_REST || ra.reader.size > (LONGLONG)cbBlock;
    if (cbBlock > 0 && fSeveralBlocks && StartReadAhead(&ra, buffer, cbBlock))
        result = CountReadAhead(&ra, &nSpaces);
    else
        result = CountInTurn(&ra.reader, buffer, cbBuffer, &nSpaces);
    if (result == READ_FAILED || result == READ_STOPPED)
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
