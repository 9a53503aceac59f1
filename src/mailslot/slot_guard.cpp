#include "mailslot/slot_guard.h"

#include "log/log.h"
#include "mailslot/mailslot.h"

static SRWLOCK stopLock = SRWLOCK_INIT;
static LONG volatile fStopping = 0;

void ClearMailslotStop(void)
{
    AcquireSRWLockExclusive(&stopLock);
    InterlockedExchange(&fStopping, 0);
    ReleaseSRWLockExclusive(&stopLock);
}

void StopMailslotServer(void)
{
    AcquireSRWLockExclusive(&stopLock);
    InterlockedExchange(&fStopping, 1);
    ReleaseSRWLockExclusive(&stopLock);
}

BOOL KeepServing(void)
{
    return InterlockedCompareExchange(&fStopping, 0, 0) == 0;
}

BOOL LogUnlessStopped(const char *text)
{
    AcquireSRWLockExclusive(&stopLock);
    BOOL fGoOn = KeepServing();
    if (fGoOn)
        WriteToLog(text);
    ReleaseSRWLockExclusive(&stopLock);
    return fGoOn;
}

SlotResult QuerySlot(DWORD *pcbMessages, DWORD *pcbMsgNumber, DWORD *pdwError)
{
    SlotResult result = SLOT_STOPPED;
    AcquireSRWLockExclusive(&stopLock);
    if (KeepServing()) {
        result = GetMailslotInfo(hMailslot, NULL, pcbMessages, pcbMsgNumber, NULL) ? SLOT_OK
                                                                                 : SLOT_FAILED;
        *pdwError = GetLastError();
    }
    ReleaseSRWLockExclusive(&stopLock);
    return result;
}

SlotResult ReadSlot(char *buffer, DWORD cbBuffer, DWORD *pcbRead, DWORD *pdwError)
{
    SlotResult result = SLOT_STOPPED;
    AcquireSRWLockExclusive(&stopLock);
    if (KeepServing()) {
        result = ReadFile(hMailslot, buffer, cbBuffer, pcbRead, NULL) ? SLOT_OK : SLOT_FAILED;
        *pdwError = GetLastError();
    }
    ReleaseSRWLockExclusive(&stopLock);
    return result;
}
