// The guard over the server slot and the log: how the stop reaches the
// request loop.
//
// The stop sequence runs on the other thread and closes the server slot. It
// raises a flag under a lock, and the loop checks the flag under the same
// lock before each call on the slot and each log line, so once
// StopMailslotServer has returned the loop touches neither again. The lock is
// never held while a file is counted or while the loop pauses, so the stop
// never waits for a request.
#ifndef MAILSLOT_SLOT_GUARD_H
#define MAILSLOT_SLOT_GUARD_H

#include "platform/platform.h"

// A new server slot: the loop serves until the next stop.
void ClearMailslotStop(void);

// FALSE once the stop has come.
BOOL KeepServing(void);

// Logs a line unless the stop has come. Returns FALSE once it has.
BOOL LogUnlessStopped(const char *text);

enum SlotResult { SLOT_STOPPED, SLOT_FAILED, SLOT_OK };

// GetMailslotInfo and ReadFile on the server slot, unless the stop has come.
// The platform error of a failed call goes to *pdwError.
SlotResult QuerySlot(DWORD *pcbMessages, DWORD *pcbMsgNumber, DWORD *pdwError);
SlotResult ReadSlot(char *buffer, DWORD cbBuffer, DWORD *pcbRead, DWORD *pdwError);

#endif
