// CreateFileA, ReOpenFile, ReadFile, WriteFile, SetFilePointer, GetFileType,
// GetFileSizeEx, SetEndOfFile, DeviceIoControl, CloseHandle and DeleteFileA:
// they find the handle's object, hold it for the call's duration and report
// its outcome as Windows does.
#include <errno.h>
#include <unistd.h>

#include "file_name.h"
#include "file_open.h"
#include "file_path.h"
#include "handle_table.h"
#include "last_error.h"
#include "mailslot_object.h"

using namespace w32;

namespace {

// A handle for a newly opened object, or INVALID_HANDLE_VALUE with the error.
HANDLE add_opened(DWORD err, const std::shared_ptr<HandleObject> &object)
{
    if (err != NO_ERROR) {
        set_error(err);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = handle_add(object);
    if (handle == INVALID_HANDLE_VALUE) {
        object->close();
        set_error(ERROR_TOO_MANY_OPEN_FILES);
    }
    return handle;
}

} // namespace

extern "C" HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                              LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                              DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                              HANDLE hTemplateFile)
{
    (void)lpSecurityAttributes, (void)hTemplateFile;
    FileName name;
    DWORD err = parse_file_name(lpFileName, &name);
    std::shared_ptr<HandleObject> object;
    bool existed = false;
    if (err == NO_ERROR && name.kind == NameKind::Mailslot) {
        err = open_mailslot_client(name, dwDesiredAccess, &object);
    } else if (err == NO_ERROR) {
        OpenRequest request = {dwDesiredAccess, dwShareMode, dwCreationDisposition,
                               dwFlagsAndAttributes};
        err = open_file(name, request, &object, &existed);
    }
    HANDLE handle = add_opened(err, object);
    if (handle == INVALID_HANDLE_VALUE)
        return INVALID_HANDLE_VALUE;
    bool reports_existing = dwCreationDisposition == OPEN_ALWAYS ||
                            dwCreationDisposition == CREATE_ALWAYS;
    set_error(existed && reports_existing ? ERROR_ALREADY_EXISTS : NO_ERROR);
    return handle;
}

extern "C" HANDLE ReOpenFile(HANDLE hOriginalFile, DWORD dwDesiredAccess, DWORD dwShareMode,
                             DWORD dwFlagsAndAttributes)
{
    std::shared_ptr<FileObject> file =
        std::dynamic_pointer_cast<FileObject>(handle_get(hOriginalFile));
    std::shared_ptr<HandleObject> object;
    DWORD err = ERROR_INVALID_HANDLE;
    if (file) {
        OpenRequest request = {dwDesiredAccess, dwShareMode, OPEN_EXISTING, dwFlagsAndAttributes};
        err = reopen_file(*file, request, &object);
    }
    return add_opened(err, object);
}

extern "C" BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                         LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped)
{
    if (lpNumberOfBytesRead)
        *lpNumberOfBytesRead = 0;
    std::shared_ptr<HandleObject> object = handle_get(hFile);
    if (!object)
        return fail(ERROR_INVALID_HANDLE);
    if (lpOverlapped || (!lpBuffer && nNumberOfBytesToRead))
        return fail(ERROR_INVALID_PARAMETER);
    DWORD done = 0;
    DWORD err = object->read(lpBuffer, nNumberOfBytesToRead, &done);
    if (lpNumberOfBytesRead)
        *lpNumberOfBytesRead = done;
    return err == NO_ERROR ? succeed() : fail(err);
}

extern "C" BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                          LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped)
{
    if (lpNumberOfBytesWritten)
        *lpNumberOfBytesWritten = 0;
    std::shared_ptr<HandleObject> object = handle_get(hFile);
    if (!object)
        return fail(ERROR_INVALID_HANDLE);
    if (lpOverlapped || (!lpBuffer && nNumberOfBytesToWrite))
        return fail(ERROR_INVALID_PARAMETER);
    DWORD done = 0;
    DWORD err = object->write(lpBuffer, nNumberOfBytesToWrite, &done);
    if (lpNumberOfBytesWritten)
        *lpNumberOfBytesWritten = done;
    return err == NO_ERROR ? succeed() : fail(err);
}

extern "C" DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                                DWORD dwMoveMethod)
{
    std::shared_ptr<HandleObject> object = handle_get(hFile);
    if (!object) {
        set_error(ERROR_INVALID_HANDLE);
        return INVALID_SET_FILE_POINTER;
    }
    int64_t distance = lDistanceToMove;
    if (lpDistanceToMoveHigh) {
        uint64_t wide = (uint64_t(uint32_t(*lpDistanceToMoveHigh)) << 32) | uint32_t(lDistanceToMove);
        distance = int64_t(wide);
    }
    int64_t position = 0;
    DWORD err = object->seek(distance, dwMoveMethod, lpDistanceToMoveHigh != nullptr, &position);
    if (err != NO_ERROR) {
        set_error(err);
        return INVALID_SET_FILE_POINTER;
    }
    if (lpDistanceToMoveHigh)
        *lpDistanceToMoveHigh = LONG(uint64_t(position) >> 32);
    set_error(NO_ERROR);
    return DWORD(uint64_t(position) & 0xFFFFFFFFu);
}

extern "C" DWORD GetFileType(HANDLE hFile)
{
    std::shared_ptr<HandleObject> object = handle_get(hFile);
    if (!object) {
        set_error(ERROR_INVALID_HANDLE);
        return FILE_TYPE_UNKNOWN;
    }
    set_error(NO_ERROR);
    return object->file_type();
}

extern "C" BOOL SetEndOfFile(HANDLE hFile)
{
    std::shared_ptr<HandleObject> object = handle_get(hFile);
    if (!object)
        return fail(ERROR_INVALID_HANDLE);
    DWORD err = object->set_end();
    return err == NO_ERROR ? succeed() : fail(err);
}

extern "C" BOOL GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize)
{
    std::shared_ptr<HandleObject> object = handle_get(hFile);
    if (!object)
        return fail(ERROR_INVALID_HANDLE);
    if (!lpFileSize)
        return fail(ERROR_INVALID_PARAMETER);
    int64_t size = 0;
    DWORD err = object->size(&size);
    if (err != NO_ERROR)
        return fail(err);
    lpFileSize->QuadPart = size;
    return succeed();
}

extern "C" BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                                DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                                LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped)
{
    if (lpBytesReturned)
        *lpBytesReturned = 0;
    std::shared_ptr<HandleObject> object = handle_get(hDevice);
    if (!object)
        return fail(ERROR_INVALID_HANDLE);
    if (lpOverlapped)
        return fail(ERROR_INVALID_PARAMETER);
    DWORD returned = 0;
    DWORD err = object->control(dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer,
                                nOutBufferSize, &returned);
    if (lpBytesReturned)
        *lpBytesReturned = returned;
    return err == NO_ERROR ? succeed() : fail(err);
}

extern "C" BOOL CloseHandle(HANDLE hObject)
{
    std::shared_ptr<HandleObject> object = handle_remove(hObject);
    if (!object)
        return fail(ERROR_INVALID_HANDLE);
    object->close();
    return succeed();
}

extern "C" BOOL DeleteFileA(LPCSTR lpFileName)
{
    FileName name;
    DWORD err = parse_file_name(lpFileName, &name);
    if (err != NO_ERROR)
        return fail(err);
    if (name.kind == NameKind::Mailslot)
        return fail(ERROR_ACCESS_DENIED);
    FilePath path;
    err = resolve_file_path(name, false, &path);
    if (err != NO_ERROR)
        return fail(err);
    if (path.drive_root)
        return fail(ERROR_ACCESS_DENIED);
    if (unlinkat(path.dir_fd(), path.leaf.c_str(), 0) != 0)
        return fail(errno == ENOENT ? missing_leaf_error(path) : error_from_errno(errno));
    return succeed();
}
