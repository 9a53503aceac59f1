#include "log/log.h"

#include <stdio.h>
#include <string.h>

#include "platform/platform.h"

static const char szLogPath[] = "C:\\ZQ_logfile.log";

// Both threads of the service log through here. Taking turns keeps them from
// dropping each other's lines on the exclusive open below; another program
// holding the log open still makes a line drop.
static SRWLOCK logLock = SRWLOCK_INIT;

// A line cut short (the disk full) leaves a fragment at the log's end. The
// next line is written from where the fragment starts, over it, so a
// fragment never stays between two lines; while fTail is set, nextLine is
// that offset. Guarded by logLock.
static BOOL fTail = FALSE;
static unsigned long long nextLine = 0;

static DWORD WriteAll(HANDLE hFile, const char *bytes, size_t cb)
{
    DWORD cbTotal = 0;
    while (cb > 0) {
        DWORD cbChunk = cb > 0x40000000u ? 0x40000000u : (DWORD)cb;
        DWORD cbWritten = 0;
        if (!WriteFile(hFile, bytes, cbChunk, &cbWritten, NULL) || cbWritten == 0)
            break;
        cbTotal += cbWritten;
        bytes += cbWritten;
        cb -= cbWritten;
    }
    return cbTotal;
}

int WriteToLog(const char *text)
{
    char buf[256];
    AcquireSRWLockExclusive(&logLock);

    HANDLE hFile = CreateFileA(szLogPath, GENERIC_WRITE, 0, NULL, OPEN_ALWAYS,
                               FILE_FLAG_WRITE_THROUGH, NULL);
    if (hFile == INVALID_HANDLE_VALUE) {
        ReleaseSRWLockExclusive(&logLock);
        return -1;
    }

    // The high part makes the move correct beyond 4 GiB. A failed move would
    // leave the pointer at the start and overwrite the log: drop the line.
    LONG high = 0;
    DWORD low = SetFilePointer(hFile, 0, &high, FILE_END);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) {
        CloseHandle(hFile);
        ReleaseSRWLockExclusive(&logLock);
        return -1;
    }
    unsigned long long end = ((unsigned long long)(DWORD)high << 32) | low;
    unsigned long long start = end;
    if (fTail && nextLine < end) {
        high = (LONG)(nextLine >> 32);
        if (SetFilePointer(hFile, (LONG)(DWORD)nextLine, &high, FILE_BEGIN) ==
                INVALID_SET_FILE_POINTER &&
            GetLastError() != NO_ERROR) {
            CloseHandle(hFile);
            ReleaseSRWLockExclusive(&logLock);
            return -1;
        }
        start = nextLine;
    }

    // Short lines go out in one write; longer ones in two, still within the
    // one exclusive open, so no line is ever cut.
    DWORD cbWritten;
    size_t cbText = strlen(text);
    if (cbText + 3 <= sizeof buf) {
        snprintf(buf, sizeof buf, "%s\r\n", text);
        cbWritten = WriteAll(hFile, buf, cbText + 2);
    } else {
        cbWritten = WriteAll(hFile, text, cbText);
        if (cbWritten == cbText)
            cbWritten += WriteAll(hFile, "\r\n", 2);
    }
    if (cbWritten < cbText + 2) {
        fTail = TRUE;
        nextLine = start;
    } else {
        nextLine = start + cbWritten;
        fTail = nextLine < end;
    }

    CloseHandle(hFile);
    ReleaseSRWLockExclusive(&logLock);
    return (int)cbWritten;
}
