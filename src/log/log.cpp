#include "log/log.h"

#include <stdio.h>
#include <string.h>

#include "platform/platform.h"

static const char szLogPath[] = "C:\\ZQ_logfile.log";

// Both threads of the service log through here. Taking turns keeps them from
// dropping each other's lines on the exclusive open below; another program
// holding the log open still makes a line drop.
static SRWLOCK logLock = SRWLOCK_INIT;

// A line as it goes to the file, escaped; used under logLock only. A longer
// line goes out in several writes.
static char line[4096];

// Copies text from *pText into out, as much as fits in cbOut, with every
// control character escaped as C writes it ("\r", "\n", "\x01"), so text a
// client sent can never start a line of its own. A line feed that ends the
// text is the caller's own line end and stays. Returns the bytes put in out.
static size_t EscapeSome(const char **pText, char *out, size_t cbOut)
{
    static const char hex[] = "0123456789abcdef";
    const char *p = *pText;
    size_t cb = 0;
    for (; *p != '\0'; p++) {
        unsigned char c = (unsigned char)*p;
        char one[4];
        size_t cbOne = 0;
        if ((c >= 0x20 && c != 0x7f) || (c == '\n' && p[1] == '\0')) {
            one[cbOne++] = (char)c;
        } else {
            one[cbOne++] = '\\';
            if (c == '\r' || c == '\n' || c == '\t') {
                one[cbOne++] = c == '\r' ? 'r' : c == '\n' ? 'n' : 't';
            } else {
                one[cbOne++] = 'x';
                one[cbOne++] = hex[c >> 4];
                one[cbOne++] = hex[c & 15];
            }
        }
        if (cb + cbOne > cbOut)
            break;
        memcpy(out + cb, one, cbOne);
        cb += cbOne;
    }
    *pText = p;
    return cb;
}

// Writes at the end of the file as it is at that moment, however many
// others append to it too: nobody's bytes are written over. Returns the
// bytes written; *pEnd: the file's position after them.
static DWORD Append(HANDLE hFile, const char *bytes, DWORD cb, LONGLONG *pEnd)
{
    DWORD cbTotal = 0;
    while (cbTotal < cb) {
        OVERLAPPED atEnd;
        memset(&atEnd, 0, sizeof atEnd);
        atEnd.Offset = atEnd.OffsetHigh = 0xFFFFFFFFu;
        DWORD cbWritten = 0;
        BOOL fOk = WriteFile(hFile, bytes + cbTotal, cb - cbTotal, &cbWritten, &atEnd);
        cbTotal += cbWritten; // counted even when the call failed partway
        if (!fOk || cbWritten == 0)
            break;
    }
    LONG high = 0;
    DWORD low = SetFilePointer(hFile, 0, &high, FILE_CURRENT);
    *pEnd = (LONGLONG)(((unsigned long long)(DWORD)high << 32) | low);
    return cbTotal;
}

// A line that did not fit (the disk full) is taken back whole, so no
// fragment stays for the next line to follow: the file is cut back to where
// the line began, but only while nothing was appended after it, whose bytes
// are not ours to cut.
static void TakeBack(HANDLE hFile, LONGLONG begin, LONGLONG end)
{
    LARGE_INTEGER size;
    if (!GetFileSizeEx(hFile, &size) || size.QuadPart != end)
        return;
    LONG high = (LONG)(begin >> 32);
    SetFilePointer(hFile, (LONG)(DWORD)begin, &high, FILE_BEGIN);
    SetEndOfFile(hFile);
}

static int WriteToLogLocked(const char *text)
{
    HANDLE hFile = CreateFileA(szLogPath, GENERIC_WRITE, 0, NULL, OPEN_ALWAYS,
                               FILE_FLAG_WRITE_THROUGH, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
        return -1;

    // Most lines go out in one write: the escaped text and CR LF.
    DWORD cbLine = 0, cbWritten = 0;
    LONGLONG begin = -1, end = 0;
    const char *rest = text;
    BOOL fDone = FALSE;
    while (!fDone) {
        DWORD cb = (DWORD)EscapeSome(&rest, line, sizeof line - 2);
        if (*rest == '\0') {
            memcpy(line + cb, "\r\n", 2);
            cb += 2;
            fDone = TRUE;
        }
        DWORD cbOut = Append(hFile, line, cb, &end);
        if (begin < 0)
            begin = end - cbOut;
        cbLine += cb;
        cbWritten += cbOut;
        if (cbOut < cb)
            break;
    }
    if (cbWritten < cbLine) {
        TakeBack(hFile, begin, end);
        cbWritten = 0; // a lost line counts as a failed write
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
