#include "log/log.h"

#include <stdio.h>
#include <string.h>

#include "platform/platform.h"

static const char szLogPath[] = "C:\\ZQ_logfile.log";

// Both threads of the service log through here. Taking turns keeps them from
// dropping each other's lines on the exclusive open below; another program
// holding the log open still makes a line drop.
static SRWLOCK logLock = SRWLOCK_INIT;

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

static int WriteToLogLocked(const char *text)
{
    char buf[256];
    HANDLE hFile = CreateFileA(szLogPath, GENERIC_WRITE, 0, NULL, OPEN_ALWAYS,
                               FILE_FLAG_WRITE_THROUGH, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
        return -1;

    // The high part makes the move correct beyond 4 GiB. A failed move would
    // leave the pointer at the start and overwrite the log: drop the line.
    LONG high = 0;
    DWORD low = SetFilePointer(hFile, 0, &high, FILE_END);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) {
        CloseHandle(hFile);
        return -1;
    }

    // Short lines go out in one write; longer ones in two, still within the
    // one exclusive open.
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

    // A line that did not fit (the disk full) is lost whole: the file is cut
    // back to where it began, so no fragment stays for the next line to
    // follow, and the next line is appended at the end like any other. A
    // lost line counts as a failed write: 0 bytes.
    if (cbWritten < cbText + 2) {
        SetFilePointer(hFile, (LONG)low, &high, FILE_BEGIN);
        SetEndOfFile(hFile);
        cbWritten = 0;
    }
    CloseHandle(hFile);
    return (int)cbWritten;
}

int WriteToLog(const char *text)
{
    AcquireSRWLockExclusive(&logLock);
    int cbWritten = WriteToLogLocked(text);
    ReleaseSRWLockExclusive(&logLock);
    return cbWritten;
}
