// The service host: entry, status reports and the control handler.
#ifndef SERVICE_SERVICE_H
#define SERVICE_SERVICE_H

#include "platform/platform.h"

extern SERVICE_STATUS ServiceStatus;
extern SERVICE_STATUS_HANDLE hStatus;
extern DWORD dwNextCheckPoint;

// Fills in the status record and hands it to the service control manager.
BOOL ReportStatus(DWORD dwCurrentState, DWORD dwWin32ExitCode, DWORD dwWaitHint);

// Answers the manager's controls: stop runs the stop sequence, every other
// code re-reports the current state.
void WINAPI ServiceCtrlHandler(DWORD dwControl);

// Returns once a stop sequence that has begun has logged its last line.
void WaitForStopSequence(void);

// The service's entry, run by the dispatcher on a thread of its own.
void WINAPI ServiceMain(DWORD dwArgc, LPSTR *lpszArgv);

// Called, when set, as soon as ServiceMain has reported SERVICE_RUNNING: lets
// a test bring a stop in at that moment. The service never sets it.
extern void (*pfnRunningReported)(void);

#endif
