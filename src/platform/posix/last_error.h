// The calling thread's last error, and the one place that turns errno
// values into Windows error codes.
#ifndef PLATFORM_POSIX_LAST_ERROR_H
#define PLATFORM_POSIX_LAST_ERROR_H

#include "platform/platform.h"

namespace w32 {

// Sets the thread's last error (SetLastError without the C linkage).
void set_error(DWORD code);

// Sets the last error and returns FALSE, for the BOOL functions' failures.
BOOL fail(DWORD code);

// Sets the last error to 0 and returns TRUE.
BOOL succeed();

// The Windows error code for an errno value.
DWORD error_from_errno(int err);

} // namespace w32

#endif
