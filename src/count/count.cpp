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
    LONGLONG position;  // where the next block starts
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

// Two readers: this thread and a second one, each with a handle of its own
// and half the buffer, take the file's blocks in turn, in file order, and
// each counts the block it has just read while it is still in its core's
// cache. The copy out of the page cache is the slow part, and two cores copy
// about twice as fast as one. Which block comes next, and what each counted,
// are kept under one lock. The outcomes are added in file order, so the
// first end mark, short read, failure or stop ends the count exactly where
// reading one block after the other would have ended it; a reader that
// finishes a block before the one ahead of it is added leaves its outcome
// to be added later and goes on, unless PENDING blocks already wait.
enum { PENDING = 16 };

typedef struct BlockOutcome {
    BOOL fReady;
    ReadResult result; // READ_BLOCK: nSpaces counted, fEnds if the text ends in it
    unsigned long long nSpaces;
    BOOL fEnds;
} BlockOutcome;

typedef struct SharedCount {
    SRWLOCK lock; // over everything below but hTurn
    FileReader reader;
    DWORD cbBlock;
    LONG nClaimed;       // blocks handed out
    LONG nAdded;         // blocks whose outcome is in the total
    BOOL fNoMore;        // no block is handed out any more
    BOOL fWaiting[2];    // reader i waits for room among the pending outcomes
    HANDLE hTurn[2];     // set when reader i may go on
    BlockOutcome pending[PENDING]; // block n's outcome at n % PENDING
    unsigned long long nSpaces;    // the spaces of the blocks added
    ReadResult result;   // the outcome once one is known; READ_BLOCK till then
} SharedCount;

typedef struct CountReader {
    SharedCount *shared;
    int id;
    HANDLE hFile;
    char *block;
} CountReader;

// Hands out the next block, [*pOffset, *pOffset + *pcb), numbered *piBlock,
// after asking keepGoing. READ_END when the file has no more data or the
// count has ended; READ_STOPPED, numbered as the block it stops, when
// keepGoing says to stop. Called and returns with the lock held.
static ReadResult ClaimBlock(CountReader *cr, LONG *piBlock, LONGLONG *pOffset, DWORD *pcb)
{
    SharedCount *sc = cr->shared;
    // Only the other reader's block can be holding the outcomes up, and it
    // wakes this one once it has added its own.
    while (!sc->fNoMore && sc->nClaimed - sc->nAdded >= PENDING) {
        sc->fWaiting[cr->id] = TRUE;
        ReleaseSRWLockExclusive(&sc->lock);
        WaitForSingleObject(sc->hTurn[cr->id], INFINITE);
        AcquireSRWLockExclusive(&sc->lock);
    }
    ReadResult result = sc->fNoMore ? READ_END : READ_BLOCK;
    FileReader *r = &sc->reader;
    while (result == READ_BLOCK && r->cbLeft == 0)
        result = NextSpan(r, &r->position, &r->cbLeft) ? READ_BLOCK : READ_END;
    if (result == READ_BLOCK && r->keepGoing != NULL && !r->keepGoing())
        result = READ_STOPPED;
    if (result != READ_BLOCK)
        sc->fNoMore = TRUE;
    if (result == READ_END)
        return result;
    *piBlock = sc->nClaimed++; // a stop, too, takes its place in file order
    if (result == READ_BLOCK) {
        *pOffset = r->position;
        *pcb = r->cbLeft < (LONGLONG)sc->cbBlock ? (DWORD)r->cbLeft : sc->cbBlock;
        r->position += *pcb;
        r->cbLeft -= *pcb;
    }
    return result;
}

// Lets the other reader go on if it waits for room among the pending
// outcomes, or for the end. Called with the lock held.
static void WakeTheOther(CountReader *cr)
{
    SharedCount *sc = cr->shared;
    int other = cr->id ^ 1;
    if (sc->fWaiting[other]) {
        sc->fWaiting[other] = FALSE;
        SetEvent(sc->hTurn[other]);
    }
}

// Keeps block iBlock's outcome, then adds every outcome that is next in
// file order. Called with the lock held.
static void FinishBlock(CountReader *cr, LONG iBlock, ReadResult result,
                        unsigned long long nSpaces, BOOL fEnds)
{
    SharedCount *sc = cr->shared;
    BlockOutcome outcome = {TRUE, result, nSpaces, fEnds};
    sc->pending[iBlock % PENDING] = outcome;
    // Whatever follows a block that ends the count or fails is never added.
    if (result != READ_BLOCK || fEnds)
        sc->fNoMore = TRUE;
    for (BlockOutcome *next; (next = &sc->pending[sc->nAdded % PENDING])->fReady; sc->nAdded++) {
        next->fReady = FALSE;
        if (sc->result != READ_BLOCK)
            continue; // the count ended before this block
        if (next->result == READ_BLOCK)
            sc->nSpaces += next->nSpaces;
        if (next->result != READ_BLOCK || next->fEnds) {
            sc->result = next->result == READ_BLOCK ? READ_END : next->result;
            sc->fNoMore = TRUE;
        }
    }
    WakeTheOther(cr);
}

// Takes the next block, reads it and counts it; FALSE when no block is
// left. Called and returns with the lock held.
static BOOL ReadAndCountBlock(CountReader *cr)
{
    SharedCount *sc = cr->shared;
    LONG iBlock = 0;
    LONGLONG offset = 0;
    DWORD cbWant = 0, cbRead = 0;
    ReadResult result = ClaimBlock(cr, &iBlock, &offset, &cbWant);
    if (result == READ_END)
        return FALSE;
    BOOL fEnds = FALSE;
    unsigned long long nSpaces = 0;
    if (result == READ_BLOCK) {
        ReleaseSRWLockExclusive(&sc->lock);
        if (!SeekTo(cr->hFile, offset) || !ReadFile(cr->hFile, cr->block, cbWant, &cbRead, NULL))
            result = READ_FAILED;
        else if (cbRead == 0)
            result = READ_END;
        if (result == READ_BLOCK)
            nSpaces = CountSpacesInBlock(cr->block, cbRead, 0, &fEnds);
        // A short read is the end of the file, or of a file cut short while
        // counted: either way the text ends with this block.
        fEnds = fEnds || cbRead < cbWant;
        AcquireSRWLockExclusive(&sc->lock);
    }
    FinishBlock(cr, iBlock, result, nSpaces, fEnds);
    return TRUE;
}

// One reader: takes blocks until none is left.
static DWORD WINAPI ReadAndCount(LPVOID lpParameter)
{
    CountReader *cr = (CountReader *)lpParameter;
    AcquireSRWLockExclusive(&cr->shared->lock);
    while (ReadAndCountBlock(cr)) {
    }
    WakeTheOther(cr); // it may wait for room that no block will make now
    ReleaseSRWLockExclusive(&cr->shared->lock);
    return 0;
}

// Starts the second reader; FALSE, with nothing left open, when the system
// has no handle, event or thread to spare.
static BOOL StartSecondReader(SharedCount *sc, CountReader *second, HANDLE *phThread)
{
    second->hFile = ReOpenFile(sc->reader.hFile, GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
    if (second->hFile == INVALID_HANDLE_VALUE)
        return FALSE;
    BOOL fMade = TRUE;
    for (int i = 0; i < 2; i++) {
        sc->hTurn[i] = CreateEventA(NULL, FALSE, FALSE, NULL);
        fMade = fMade && sc->hTurn[i] != NULL;
    }
    *phThread = fMade ? CreateThread(NULL, 0, ReadAndCount, second, 0, NULL) : NULL;
    if (*phThread != NULL)
        return TRUE;
    for (int i = 0; i < 2; i++)
        if (sc->hTurn[i] != NULL)
            CloseHandle(sc->hTurn[i]);
    CloseHandle(second->hFile);
    return FALSE;
}

BOOL CountSpacesInFile(HANDLE hFile, char *buffer, DWORD cbBuffer,
                       unsigned long long *pnSpaces, BOOL (*keepGoing)(void))
{
    SharedCount sc;
    const SRWLOCK unlocked = SRWLOCK_INIT;
    memset(&sc, 0, sizeof sc);
    sc.lock = unlocked;
    StartReading(&sc.reader, hFile, keepGoing);
    sc.cbBlock = cbBuffer / 2;
    sc.result = READ_BLOCK;
    if (sc.cbBlock == 0)
        return FALSE;
    CountReader readers[2] = {{&sc, 0, hFile, buffer}, {&sc, 1, NULL, buffer + sc.cbBlock}};
    // The first block is read through the caller's handle before a second
    // reader opens one of its own: a handle that cannot read fails the
    // count, and a file of one block gains nothing from a second thread.
    AcquireSRWLockExclusive(&sc.lock);
    ReadAndCountBlock(&readers[0]);
    BOOL fMore = !sc.fNoMore && (sc.reader.cbLeft > 0 || sc.reader.phase == PHASE_REST ||
                                 sc.reader.position < sc.reader.size);
    ReleaseSRWLockExclusive(&sc.lock);
    HANDLE hThread = NULL;
    BOOL fSecond = fMore && StartSecondReader(&sc, &readers[1], &hThread);
    ReadAndCount(&readers[0]);
    if (fSecond) {
        WaitForSingleObject(hThread, INFINITE);
        CloseHandle(hThread);
        CloseHandle(readers[1].hFile);
        CloseHandle(sc.hTurn[0]);
        CloseHandle(sc.hTurn[1]);
    }
    if (sc.result == READ_FAILED || sc.result == READ_STOPPED)
        return FALSE;
    *pnSpaces = sc.nSpaces;
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
