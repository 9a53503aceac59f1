#include <stdio.h>

#include "log/log.h"
#include "service/service.h"

int main(int argc, char **argv)
{
    (void)argc;
    (void)argv;
    char buffer[256];
    SERVICE_TABLE_ENTRYA DispatcherTable[2];

    DispatcherTable[0].lpServiceName = (LPSTR) "Sample service";
    DispatcherTable[0].lpServiceProc = ServiceMain;
    DispatcherTable[1].lpServiceName = NULL;
    DispatcherTable[1].lpServiceProc = NULL;

    WriteToLog("MailSlot service entry point");

    if (!StartServiceCtrlDispatcherA(DispatcherTable)) {
        snprintf(buffer, sizeof buffer, "StartServiceCtrlDispatcher: Error %ld\n",
                 (long)GetLastError());
        WriteToLog(buffer);
    }

    // After a failed start the stop sequence runs on the service thread, and
    // the dispatcher may return before its last line is written.
    WaitForStopSequence();
    return 0;
}
