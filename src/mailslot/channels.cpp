#include <stdio.h>
#include <string.h>

#include "log/log.h"
#include "mailslot/mailslot.h"
#include "mailslot/slot_guard.h"

const char *szSlotName = "\\\\.\\mailslot\\$Channel1$";
const char *szSendSlotName = "\\\\*\\mailslot\\$Channel2$";

HANDLE hMailslot = INVALID_HANDLE_VALUE;
HANDLE hSendSlot = INVALID_HANDLE_VALUE;

int InitMailslot(void)
{
    char message[80];
    memset(message, 0, sizeof message);
    ClearMailslotStop();

    hMailslot = CreateMailslotA(szSlotName, 0, MAILSLOT_WAIT_FOREVER, NULL);
    if (hMailslot == INVALID_HANDLE_VALUE) {
        snprintf(message, sizeof message, "CreateMailslot: Error %ld\n", (long)GetLastError());
        WriteToLog(message);
        return -1;
    }

    // A null access list lets every account write requests to the slot.
    SetSecurityInfo(hMailslot, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, NULL,
                    NULL);

    snprintf(message, sizeof message, "Mailslot created\n");
    WriteToLog(message);
    return 0;
}

void CloseMailslot(void)
{
    CloseHandle(hMailslot);
    WriteToLog("Mailslot closed!");
}
