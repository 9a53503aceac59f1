#include <stdio.h>

#include "log/log.h"
#include "mailslot/mailslot.h"
#include "mailslot/slot_guard.h"
#include "service/service.h"

static const char szServiceName[] = "Sample service";

void (*pfnRunningReported)(void) = NULL;

void WINAPI ServiceMain(DWORD dwArgc, LPSTR *lpszArgv)
{
    (void)dwArgc;
    (void)lpszArgv;
    char buf[256];

    // Set before the handler exists, so no report can see them half made.
    ServiceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    ServiceStatus.dwServiceSpecificExitCode = 0;

    hStatus = RegisterServiceCtrlHandlerA(szServiceName, ServiceCtrlHandler);
    if (hStatus == NULL) {
        WriteToLog("Error RegisterServiceCtrlHandler");
        return;
    }

    ReportStatus(SERVICE_START_PENDING, NO_ERROR, 30000);
    WriteToLog("MailSlot Service starting...");

    int r = InitMailslot();
    if (r < 0) {
        snprintf(buf, sizeof buf, "Error init MailSlot server %d", r);
        WriteToLog(buf);
        ServiceCtrlHandler(SERVICE_CONTROL_STOP);
        return;
    }

    ReportStatus(SERVICE_RUNNING, NO_ERROR, 0);
    if (pfnRunningReported != NULL)
        pfnRunningReported();
    // Once reported running the service accepts a stop, whose sequence may
    // run to its last line before this one: nothing is logged after it, and
    // the loop is not entered.
    if (!LogUnlessStopped("MailSlot Service started!"))
        return;
    RunMailslotServer();
}
