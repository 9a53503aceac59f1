// What a requested path names, judged from the name alone before anything is
// opened.
#ifndef MAILSLOT_REQUEST_PATH_H
#define MAILSLOT_REQUEST_PATH_H

#include "platform/platform.h"

// Whether a full path, as GetFullPathNameA gives it, lies in a namespace
// other than files: the devices of "\\.\" (volumes, disks, consoles, pipes,
// mailslots), "\\?\" other than a drive or UNC path, the NT object
// namespace "\??\", and another host's pipes and mailslots.
BOOL IsDevicePath(const char *szFullPath);

// Makes szPath a full path in szFull (cbFull bytes) with GetFullPathNameA,
// which also gives a DOS device name such as NUL its device path. Returns
// FALSE when the path cannot be made full within cbFull or names a device.
BOOL GetRequestFullPath(const char *szPath, char *szFull, DWORD cbFull);

#endif
