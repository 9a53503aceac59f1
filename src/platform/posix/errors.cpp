// The thread's last error (GetLastError/SetLastError: one value per thread,
// as on Windows), the helpers every call reports its outcome with, and the
// one translation of errno values into the codes GetLastError reports.
#include <errno.h>

#include "platform/posix/internal.h"

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

// Every errno the layer can meet passes through here and nowhere else.
DWORD error_from_errno(int err)
{
    switch (err) {
    case 0:
        return NO_ERROR;
    case ENOENT:
    case ENXIO: // a FIFO with no reader, a socket file, a missing device
    case ECONNREFUSED: // nobody is bound at a mailslot name any more
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ELOOP: // a symbolic link where none may be followed
        return ERROR_ACCESS_DENIED;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case ENOMEM:
    case ENOBUFS:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EWOULDBLOCK: // a lock held by another handle, or no data on a pipe
        return ERROR_NO_DATA;
    case ETXTBSY:
        return ERROR_SHARING_VIOLATION;
    case EBUSY:
        return ERROR_BUSY;
    case EEXIST:
        return ERROR_FILE_EXISTS;
    case EINVAL:
    case EMSGSIZE:
    case EFAULT:
        return ERROR_INVALID_PARAMETER;
    case ESPIPE:
        return ERROR_INVALID_FUNCTION;
    case EPIPE:
    case ENOTCONN:
    case ECONNRESET:
        return ERROR_BROKEN_PIPE;
    case ENOSPC:
    case EFBIG:
        return ERROR_DISK_FULL;
    case EDQUOT:
        return ERROR_HANDLE_DISK_FULL;
    case ETIMEDOUT:
        return ERROR_SEM_TIMEOUT;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case EOPNOTSUPP:
#if EOPNOTSUPP != ENOTSUP
    case ENOTSUP:
#endif
    case ENOSYS:
        return ERROR_NOT_SUPPORTED;
    case EIO:
        return ERROR_IO_DEVICE;
    case ENOEXEC: // no binary format the system knows, and no #! line
        return ERROR_BAD_EXE_FORMAT;
    default:
        return ERROR_GEN_FAILURE;
    }
}

} // namespace w32

extern "C" DWORD GetLastError(void) { return t_last_error; }

extern "C" void SetLastError(DWORD dwErrCode) { t_last_error = dwErrCode; }
