// GetLastError/SetLastError: one value per thread, as on Windows.
#include "last_error.h"

namespace {
// A plain DWORD: nothing to destroy at thread or process exit.
thread_local DWORD t_last_error = 0;
} // namespace

namespace w32 {

void set_error(DWORD code) { t_last_error = code; }

BOOL fail(DWORD code)
{
    t_last_error = code;
    return FALSE;
}

BOOL succeed()
{
    t_last_error = NO_ERROR;
    return TRUE;
}

} // namespace w32

extern "C" DWORD GetLastError(void) { return t_last_error; }

extern "C" void SetLastError(DWORD dwErrCode) { t_last_error = dwErrCode; }
