// What a HANDLE stands for: an open file, a mailslot or a mailslot client.
//
// Each call on a handle holds a shared_ptr to its object for the call's
// duration, so a CloseHandle from another thread never frees what a call
// still uses: close() only withdraws the object (wakes waiters, gives up
// names). Its descriptors are closed when the last user lets go, or in
// close() itself where every call reaches them under the object's lock.
#ifndef PLATFORM_POSIX_HANDLE_OBJECT_H
#define PLATFORM_POSIX_HANDLE_OBJECT_H

#include <stdint.h>

#include "platform/platform.h"

namespace w32 {

class HandleObject {
public:
    virtual ~HandleObject() = default;

    // Each returns NO_ERROR or the Windows error code of the failure.
    virtual DWORD read(void *buffer, DWORD size, DWORD *done)
    {
        (void)buffer, (void)size, (void)done;
        return ERROR_ACCESS_DENIED;
    }
    virtual DWORD write(const void *data, DWORD size, DWORD *done)
    {
        (void)data, (void)size, (void)done;
        return ERROR_ACCESS_DENIED;
    }
    virtual DWORD seek(int64_t distance, DWORD method, bool wide, int64_t *position)
    {
        (void)distance, (void)method, (void)wide, (void)position;
        return ERROR_INVALID_FUNCTION;
    }
    // Makes the file end at the handle's position.
    virtual DWORD set_end() { return ERROR_INVALID_FUNCTION; }
    virtual DWORD file_type() const { return FILE_TYPE_UNKNOWN; }
    virtual DWORD size(int64_t *size)
    {
        (void)size;
        return ERROR_INVALID_FUNCTION;
    }
    // A DeviceIoControl code; *returned: the bytes of out it filled.
    virtual DWORD control(DWORD code, const void *in, DWORD in_size, void *out, DWORD out_size,
                          DWORD *returned)
    {
        (void)code, (void)in, (void)in_size, (void)out, (void)out_size, (void)returned;
        return ERROR_INVALID_FUNCTION;
    }

    // Called once, by CloseHandle, after the handle left the table.
    virtual void close() {}
};

} // namespace w32

#endif
