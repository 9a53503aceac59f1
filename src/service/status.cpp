#include "log/log.h"
#include "mailslot/mailslot.h"
#include "service/service.h"

SERVICE_STATUS ServiceStatus;
SERVICE_STATUS_HANDLE hStatus;
DWORD dwNextCheckPoint = 1;

// Reports come from both threads: one at a time, so each carries the fields
// of one call.
static SRWLOCK statusLock = SRWLOCK_INIT;

// Held for the whole stop sequence, so the process can wait for its last line.
static SRWLOCK stopSequenceLock = SRWLOCK_INIT;
static LONG volatile fStopBegun = 0;

static BOOL ReportStatusLocked(DWORD dwCurrentState, DWORD dwWin32ExitCode, DWORD dwWaitHint)
{
    ServiceStatus.dwControlsAccepted =
        dwCurrentState == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP;
    ServiceStatus.dwCurrentState = dwCurrentState;
    ServiceStatus.dwWin32ExitCode = dwWin32ExitCode;
    ServiceStatus.dwWaitHint = dwWaitHint;
    if (dwCurrentState == SERVICE_RUNNING || dwCurrentState == SERVICE_STOPPED)
        ServiceStatus.dwCheckPoint = 0;
    else
        ServiceStatus.dwCheckPoint = dwNextCheckPoint++;
    return SetServiceStatus(hStatus, &ServiceStatus);
}

BOOL ReportStatus(DWORD dwCurrentState, DWORD dwWin32ExitCode, DWORD dwWaitHint)
{
    AcquireSRWLockExclusive(&statusLock);
    BOOL fReported = ReportStatusLocked(dwCurrentState, dwWin32ExitCode, dwWaitHint);
    ReleaseSRWLockExclusive(&statusLock);
    return fReported;
}

// Re-reports the state as it stands, read under the same lock, so a report of
// the service thread cannot slip in between the read and the report.
static void ReportCurrentStatus(void)
{
    AcquireSRWLockExclusive(&statusLock);
    ReportStatusLocked(ServiceStatus.dwCurrentState, NO_ERROR, 0);
    ReleaseSRWLockExclusive(&statusLock);
}

static void RunStopSequence(void)
{
    AcquireSRWLockExclusive(&stopSequenceLock);
    // The loop learns of the stop first: it must be done with the slot and
    // the log before the slot is closed, and this never waits for a request.
    StopMailslotServer();
    ReportStatus(SERVICE_STOP_PENDING, NO_ERROR, 0);
    WriteToLog("MailSlot Service stopping...");
    CloseMailslot();
    ReportStatus(SERVICE_STOPPED, NO_ERROR, 0);
    WriteToLog("MailSlot Service stopped!");
    ReleaseSRWLockExclusive(&stopSequenceLock);
}

void WINAPI ServiceCtrlHandler(DWORD dwControl)
{
    // The stop sequence runs once; a later stop is answered like interrogate,
    // so the slot is never closed twice.
    if (dwControl == SERVICE_CONTROL_STOP && InterlockedExchange(&fStopBegun, 1) == 0)
        RunStopSequence();
    else
        ReportCurrentStatus();
}

void WaitForStopSequence(void)
{
    if (InterlockedCompareExchange(&fStopBegun, 0, 0) == 0)
        return;
    AcquireSRWLockExclusive(&stopSequenceLock);
    ReleaseSRWLockExclusive(&stopSequenceLock);
}
