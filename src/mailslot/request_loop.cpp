#include <stdio.h>
#include <string.h>

#include "count/count.h"
#include "log/log.h"
#include "mailslot/mailslot.h"
#include "mailslot/request_loop.h"
#include "mailslot/request_path.h"
#include "mailslot/slot_guard.h"

enum {
    POLL_INTERVAL_MS = 500, // the pause while idle, after an answer and after a failure
    BULK_SIZE = COUNT_BUFFER_SIZE, // a counted file's two blocks; the largest message taken off
    FULL_PATH_SIZE = 1024   // a request made a full path: its own bytes and a working directory
};

static const DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Used by the service thread only (and, while a file is counted, by the
// second thread that reads and counts it): the blocks of a counted file,
// and the message too large for the request buffer that has to come off
// the slot.
static char bulk[BULK_SIZE];

// Only regular files are counted: a device, pipe or socket could block the
// loop or never end. Nothing else is even opened for data, since that alone
// can act: a device's open runs its driver, a FIFO's open releases a writer
// waiting on it. So devices are refused by name, and the file is first looked
// at without data access, then reopened for reading only when it is a disk
// file; the reopened handle is checked again.
static HANDLE OpenRequestedFile(const char *szPath)
{
    char szFull[FULL_PATH_SIZE];
    if (!GetRequestFullPath(szPath, szFull, sizeof szFull))
        return INVALID_HANDLE_VALUE;

    HANDLE hLook = CreateFileA(szFull, 0, SHARE_ALL, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                               NULL);
    if (hLook == INVALID_HANDLE_VALUE)
        return INVALID_HANDLE_VALUE;
    HANDLE hFile = INVALID_HANDLE_VALUE;
    if (GetFileType(hLook) == FILE_TYPE_DISK)
        hFile = ReOpenFile(hLook, GENERIC_READ, SHARE_ALL, 0);
    CloseHandle(hLook);
    if (hFile != INVALID_HANDLE_VALUE && GetFileType(hFile) != FILE_TYPE_DISK) {
        CloseHandle(hFile);
        hFile = INVALID_HANDLE_VALUE;
    }
    return hFile;
}

// Shortens the cannot-open text composed in reply where it would not fit one
// broadcast, keeping the start of the path.
static void FitCannotOpenReply(const char *szBuf, char *reply, size_t cbReply)
{
    if (strlen(reply) + 1 > MAX_REPLY_SIZE)
        snprintf(reply, cbReply, "(Server)Can't open %.*s...!", (int)REPLY_PATH_MAX, szBuf);
}

// Answers one path request: opens the reply slot, counts the file's spaces and
// sends the count, or the cannot-open text when the file cannot be read.
static PassResult AnswerPathRequest(const char *szBuf, char *message, size_t cbMessage)
{
    char digits[24];
    DWORD cbWritten = 0;
    unsigned long long nSpaces = 0;

    hSendSlot = CreateFileA(szSendSlotName, GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                            0, NULL);
    if (hSendSlot == INVALID_HANDLE_VALUE) {
        snprintf(message, cbMessage, "CreateFile for send: Error %ld\n", (long)GetLastError());
        return LogUnlessStopped(message) ? PASS_AT_ONCE : PASS_STOPPED;
    }

    BOOL fGoOn = TRUE;
    BOOL fCounted = FALSE;
    HANDLE hFile = OpenRequestedFile(szBuf);
    if (hFile != INVALID_HANDLE_VALUE) {
        fCounted = CountSpacesInFile(hFile, bulk, sizeof bulk, &nSpaces, KeepServing);
        fGoOn = KeepServing();
    }

    if (fGoOn && fCounted) {
        snprintf(message, cbMessage, "(Server): file:%s, spaces = %s\n", szBuf,
                 FormatCount(nSpaces, digits, sizeof digits));
        fGoOn = LogUnlessStopped(message);
        FormatCount(nSpaces, message, cbMessage);
    } else if (fGoOn) {
        // A file that cannot be opened, or whose reading failed, is answered
        // alike: a partial count would be a wrong answer.
        snprintf(message, cbMessage, "(Server)Can't open %s!", szBuf);
        fGoOn = LogUnlessStopped(message);
        FitCannotOpenReply(szBuf, message, cbMessage);
    }

    if (fGoOn) {
        WriteFile(hSendSlot, message, (DWORD)strlen(message) + 1, &cbWritten, NULL);
        snprintf(message, cbMessage, "Bytes sent %d\n", (int)cbWritten);
        fGoOn = LogUnlessStopped(message);
    }

    if (hFile != INVALID_HANDLE_VALUE)
        CloseHandle(hFile);
    CloseHandle(hSendSlot);
    hSendSlot = INVALID_HANDLE_VALUE;
    return fGoOn ? PASS_PAUSE : PASS_STOPPED;
}

// Logs a call on the server slot that failed. The loop pauses after it, so a
// lasting failure does not spin.
static PassResult LogSlotFailure(const char *szCall, DWORD dwError, char *message,
                                 size_t cbMessage)
{
    snprintf(message, cbMessage, "%s: Error %ld\n", szCall, (long)dwError);
    return LogUnlessStopped(message) ? PASS_PAUSE : PASS_STOPPED;
}

// Asks the server slot whether a message waits, and its size. TRUE when one
// does; else *pResult is what the pass returns: stopped, or a pause when the
// slot is empty or the query failed (logged).
static BOOL MessageWaits(DWORD *pcbNext, char *message, size_t cbMessage, PassResult *pResult)
{
    DWORD cbMsgNumber = 0;
    DWORD dwError = 0;
    SlotResult slot = QuerySlot(pcbNext, &cbMsgNumber, &dwError);
    if (slot == SLOT_STOPPED)
        *pResult = PASS_STOPPED;
    else if (slot == SLOT_FAILED)
        *pResult = LogSlotFailure("GetMailslotInfo", dwError, message, cbMessage);
    else
        *pResult = PASS_PAUSE;
    return slot == SLOT_OK && cbMsgNumber > 0;
}

// Takes the message at the head of the slot off into bulk, read with the
// size the slot reports for it; a drain that fails is logged.
static PassResult DropOversizeMessage(char *message, size_t cbMessage)
{
    DWORD cbNext = 0;
    DWORD cbRead = 0;
    DWORD dwError = 0;
    PassResult result;
    if (!MessageWaits(&cbNext, message, cbMessage, &result))
        return result;

    SlotResult slot;
    if (cbNext > sizeof bulk) {
        slot = SLOT_FAILED;
        dwError = ERROR_INSUFFICIENT_BUFFER;
    } else {
        slot = ReadSlot(bulk, cbNext, &cbRead, &dwError);
    }
    if (slot == SLOT_STOPPED)
        return PASS_STOPPED;
    if (slot == SLOT_FAILED)
        return LogSlotFailure("ReadFile", dwError, message, cbMessage);
    return PASS_PAUSE;
}

PassResult ServeOnePass(char *szBuf, char *message, size_t cbMessage)
{
    DWORD cbNext = 0;
    DWORD cbRead = 0;
    DWORD dwError = 0;
    PassResult result;
    if (!MessageWaits(&cbNext, message, cbMessage, &result))
        return result;

    SlotResult slot = ReadSlot(szBuf, REQUEST_SIZE, &cbRead, &dwError);
    if (slot == SLOT_STOPPED)
        return PASS_STOPPED;
    if (slot == SLOT_FAILED) {
        result = LogSlotFailure("ReadFile", dwError, message, cbMessage);
        // A message too large for the buffer stays at the head of the slot and
        // would fail every read after it: take it off so the next is served.
        if (result == PASS_PAUSE && dwError == ERROR_INSUFFICIENT_BUFFER)
            return DropOversizeMessage(message, cbMessage);
        return result;
    }

    snprintf(message, cbMessage, "Received: <%s>\n", szBuf);
    if (!LogUnlessStopped(message))
        return PASS_STOPPED;

    if (strcmp(szBuf, "exit") == 0) {
        snprintf(message, cbMessage, "Client exited!\n");
        return LogUnlessStopped(message) ? PASS_AT_ONCE : PASS_STOPPED;
    }
    return AnswerPathRequest(szBuf, message, cbMessage);
}

void RunMailslotServer(void)
{
    char message[MESSAGE_SIZE];
    // One byte more than a read takes, so a request that fills the whole
    // buffer without a NUL of its own is still terminated.
    char szBuf[REQUEST_SIZE + 1];

    memset(message, 0, sizeof message);
    snprintf(message, sizeof message, "Mailslot server demo\n");
    if (!LogUnlessStopped(message))
        return;

    for (;;) {
        memset(szBuf, 0, sizeof szBuf);
        PassResult result = ServeOnePass(szBuf, message, sizeof message);
        if (result == PASS_STOPPED)
            return;
        if (result == PASS_PAUSE)
            Sleep(POLL_INTERVAL_MS);
    }
}
