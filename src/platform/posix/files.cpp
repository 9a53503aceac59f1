// Files: the object behind a handle to a file, FIFO or device, how CreateFileA
// and ReOpenFile open one, and the calls on handles (ReadFile, WriteFile,
// SetFilePointer, GetFileType, GetFileSizeEx, SetEndOfFile, DeviceIoControl),
// which find the handle's object, hold it for the call's duration and report
// its outcome as Windows does; DeleteFileA.
//
// Opening never blocks: O_NONBLOCK keeps a FIFO without a writer from
// hanging the caller (it is cleared again for regular files), and share
// modes are flock locks taken without waiting. flock locks belong to the
// open file description, so two handles of one process conflict as two
// processes do.
//
// A handle without data access (access 0) is an O_PATH descriptor: the file
// is found and can be looked at, but not opened for data, so a FIFO's writer
// is not released and no device driver's open runs. Like such a handle on
// Windows it takes no share-mode lock. ReOpenFile opens its file for data
// through /proc/self/fd, which leads to that very file whatever its name has
// become since.
#include <errno.h>
#include <linux/magic.h>
#include <signal.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "platform/posix/internal.h"

static_assert(sizeof(off_t) >= 8, "the layer needs 64-bit file offsets");

namespace w32 {
namespace {

// An open file, FIFO or device behind a handle.
class FileObject : public HandleObject {
public:
    FileObject(UniqueFd fd, bool can_read, bool can_write, DWORD type)
        : fd_(std::move(fd)), can_read_(can_read), can_write_(can_write), type_(type)
    {
    }

    DWORD read(void *buffer, DWORD size, DWORD *done) override;
    DWORD write(const void *data, DWORD size, DWORD *done) override;
    DWORD append(const void *data, DWORD size, DWORD *done) override;
    DWORD seek(int64_t distance, DWORD method, bool wide, int64_t *position) override;
    DWORD set_end() override;
    DWORD file_type() const override { return type_; }
    DWORD size(int64_t *size) override;
    DWORD control(DWORD code, const void *in, DWORD in_size, void *out, DWORD out_size,
                  DWORD *returned) override;
    int fd() const { return fd_.get(); }

private:
    DWORD write_all(const void *data, DWORD size, DWORD *done);
    DWORD allocated_ranges(const FILE_ALLOCATED_RANGE_BUFFER &query, unsigned char *out,
                           DWORD capacity, DWORD *count);
    // Held by every call that uses a disk file's position, as Windows
    // serialises a synchronous handle's calls: the ranges query moves it
    // and puts it back.
    std::unique_lock<std::mutex> lock_position();

    UniqueFd fd_;
    std::mutex position_;
    const bool can_read_;
    const bool can_write_;
    const DWORD type_;
};

// What CreateFileA and ReOpenFile ask of an open.
struct OpenRequest {
    DWORD access;      // GENERIC_READ | GENERIC_WRITE, or 0: no data access
    DWORD share;       // 0: exclusive against every other handle
    DWORD disposition; // CREATE_NEW ... TRUNCATE_EXISTING
    DWORD flags;       // FILE_FLAG_WRITE_THROUGH honoured, the rest ignored
};

DWORD FileObject::read(void *buffer, DWORD size, DWORD *done)
{
    *done = 0;
    if (!can_read_)
        return ERROR_ACCESS_DENIED;
    char *out = static_cast<char *>(buffer);
    std::unique_lock<std::mutex> lock = lock_position();
    // A disk file gives all that is asked up to its end; a pipe or a device
    // gives what it has.
    while (*done < size) {
        ssize_t n = kernel().read(fd_.get(), out + *done, size - *done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return error_from_errno(errno);
        *done += DWORD(n);
        if (n == 0 || type_ != FILE_TYPE_DISK)
            break;
    }
    return NO_ERROR;
}

// Keeps a write to a pipe whose reader has gone from raising SIGPIPE, which
// would end the process: the signal is blocked in this thread for the call
// and, if the write raised it, taken back before it is unblocked.
class SigpipeGuard {
public:
    SigpipeGuard()
    {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_, &saved_);
        sigset_t pending;
        sigpending(&pending);
        was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    }
    ~SigpipeGuard()
    {
        if (!was_pending_) {
            struct timespec none = {0, 0};
            while (sigtimedwait(&pipe_, nullptr, &none) == SIGPIPE) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
    }

private:
    sigset_t pipe_;
    sigset_t saved_;
    bool was_pending_ = false;
};

DWORD FileObject::write(const void *data, DWORD size, DWORD *done)
{
    *done = 0;
    if (!can_write_)
        return ERROR_ACCESS_DENIED;
    std::unique_lock<std::mutex> lock = lock_position();
    if (type_ == FILE_TYPE_PIPE) {
        SigpipeGuard guard;
        return write_all(data, size, done);
    }
    return write_all(data, size, done);
}

// O_APPEND for this write only: the descriptor is the handle's own, and the
// position lock keeps the handle's other calls out meanwhile. The position
// ends after the bytes written, as on Windows.
DWORD FileObject::append(const void *data, DWORD size, DWORD *done)
{
    *done = 0;
    if (!can_write_)
        return ERROR_ACCESS_DENIED;
    if (type_ != FILE_TYPE_DISK)
        return ERROR_INVALID_PARAMETER;
    std::unique_lock<std::mutex> lock = lock_position();
    int flags = fcntl(fd_.get(), F_GETFL);
    if (flags < 0 || fcntl(fd_.get(), F_SETFL, flags | O_APPEND) != 0)
        return error_from_errno(errno);
    DWORD err = write_all(data, size, done);
    fcntl(fd_.get(), F_SETFL, flags);
    return err;
}

DWORD FileObject::write_all(const void *data, DWORD size, DWORD *done)
{
    const char *in = static_cast<const char *>(data);
    while (*done < size) {
        ssize_t n = kernel().write(fd_.get(), in + *done, size - *done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return error_from_errno(errno);
        if (n == 0)
            return ERROR_WRITE_FAULT;
        *done += DWORD(n);
    }
    return NO_ERROR;
}

DWORD FileObject::seek(int64_t distance, DWORD method, bool wide, int64_t *position)
{
    if (type_ != FILE_TYPE_DISK)
        return ERROR_INVALID_FUNCTION;
    std::unique_lock<std::mutex> lock = lock_position();
    int64_t base;
    if (method == FILE_BEGIN) {
        base = 0;
    } else if (method == FILE_CURRENT) {
        base = kernel().lseek(fd_.get(), 0, SEEK_CUR);
        if (base < 0)
            return error_from_errno(errno);
    } else if (method == FILE_END) {
        struct stat st;
        if (kernel().fstat(fd_.get(), &st) != 0)
            return error_from_errno(errno);
        base = st.st_size;
    } else {
        return ERROR_INVALID_PARAMETER;
    }
    if ((distance > 0 && base > INT64_MAX - distance))
        return ERROR_INVALID_PARAMETER;
    int64_t target = base + distance;
    if (target < 0)
        return ERROR_NEGATIVE_SEEK;
    // Without a high part the caller can only see a 32-bit position.
    if (!wide && target > int64_t(0xFFFFFFFE))
        return ERROR_INVALID_PARAMETER;
    off_t reached = kernel().lseek(fd_.get(), off_t(target), SEEK_SET);
    if (reached < 0)
        return error_from_errno(errno);
    *position = reached;
    return NO_ERROR;
}

DWORD FileObject::set_end()
{
    if (!can_write_)
        return ERROR_ACCESS_DENIED;
    if (type_ != FILE_TYPE_DISK)
        return ERROR_INVALID_FUNCTION;
    std::unique_lock<std::mutex> lock = lock_position();
    off_t here = kernel().lseek(fd_.get(), 0, SEEK_CUR);
    if (here < 0)
        return error_from_errno(errno);
    while (kernel().ftruncate(fd_.get(), here) != 0) {
        if (errno != EINTR)
            return error_from_errno(errno);
    }
    return NO_ERROR;
}

DWORD FileObject::size(int64_t *size)
{
    if (type_ != FILE_TYPE_DISK)
        return ERROR_INVALID_FUNCTION;
    struct stat st;
    if (kernel().fstat(fd_.get(), &st) != 0)
        return error_from_errno(errno);
    *size = st.st_size;
    return NO_ERROR;
}

DWORD FileObject::control(DWORD code, const void *in, DWORD in_size, void *out, DWORD out_size,
                          DWORD *returned)
{
    *returned = 0;
    if (type_ != FILE_TYPE_DISK)
        return ERROR_INVALID_FUNCTION;
    if (code == FSCTL_SET_SPARSE) // any file here may have holes: nothing to switch on
        return can_write_ ? NO_ERROR : ERROR_ACCESS_DENIED;
    if (code != FSCTL_QUERY_ALLOCATED_RANGES)
        return ERROR_INVALID_FUNCTION;
    if (!can_read_)
        return ERROR_ACCESS_DENIED;

    FILE_ALLOCATED_RANGE_BUFFER query;
    if (in == nullptr || in_size < sizeof query)
        return ERROR_INVALID_PARAMETER;
    if (out == nullptr || out_size < sizeof query)
        return ERROR_INSUFFICIENT_BUFFER;
    memcpy(&query, in, sizeof query);
    int64_t offset = query.FileOffset.QuadPart;
    int64_t length = query.Length.QuadPart;
    if (offset < 0 || length < 0 || offset > INT64_MAX - length)
        return ERROR_INVALID_PARAMETER;

    DWORD count = 0;
    DWORD err = allocated_ranges(query, static_cast<unsigned char *>(out),
                                 out_size / DWORD(sizeof query), &count);
    *returned = count * DWORD(sizeof query);
    return err;
}

// The ranges that hold data within the query, up to the end of the file, from
// SEEK_DATA and SEEK_HOLE. A file system that cannot tell has all its bytes
// reported, as Windows reports a file that is not sparse.
DWORD FileObject::allocated_ranges(const FILE_ALLOCATED_RANGE_BUFFER &query, unsigned char *out,
                                   DWORD capacity, DWORD *count)
{
    *count = 0;
    int64_t file_size = 0;
    DWORD err = size(&file_size);
    if (err != NO_ERROR)
        return err;
    int64_t end = std::min(query.FileOffset.QuadPart + query.Length.QuadPart, file_size);

    std::unique_lock<std::mutex> lock = lock_position();
    off_t saved = kernel().lseek(fd_.get(), 0, SEEK_CUR);
    if (saved < 0)
        return error_from_errno(errno);
    for (int64_t at = query.FileOffset.QuadPart; at < end;) {
        off_t data = kernel().lseek(fd_.get(), off_t(at), SEEK_DATA);
        off_t hole = data >= 0 ? kernel().lseek(fd_.get(), data, SEEK_HOLE) : -1;
        if (data < 0 && errno == ENXIO)
            break; // nothing but holes up to the end of the file
        if (data < 0 || hole < 0) {
            data = at; // cannot tell: the rest holds data
            hole = end;
        }
        if (data >= end)
            break;
        if (*count == capacity) {
            err = ERROR_MORE_DATA;
            break;
        }
        at = std::min(int64_t(hole), end);
        FILE_ALLOCATED_RANGE_BUFFER range;
        range.FileOffset.QuadPart = data;
        range.Length.QuadPart = at - data;
        memcpy(out + size_t(*count) * sizeof range, &range, sizeof range); // out may be unaligned
        ++*count;
    }
    kernel().lseek(fd_.get(), saved, SEEK_SET);
    return err;
}

std::unique_lock<std::mutex> FileObject::lock_position()
{
    std::unique_lock<std::mutex> lock(position_, std::defer_lock);
    // A pipe's or a device's read may wait: it must not hold up its writer.
    if (type_ == FILE_TYPE_DISK)
        lock.lock();
    return lock;
}

// How often to retry when the file appears or vanishes between two opens.
constexpr int kCreateAttempts = 8;

int open_leaf(const FilePath &path, int flags)
{
    if (path.confined)
        flags |= O_NOFOLLOW;
    return kernel().openat(path.dir_fd(), path.leaf.c_str(), flags, 0666);
}

DWORD open_error(const FilePath &path, int err, bool creating)
{
    if (err == ENOENT)
        return creating ? ERROR_PATH_NOT_FOUND : missing_leaf_error(path);
    return error_from_errno(err);
}

// Opens an existing file or creates a new one, as the disposition says,
// telling which happened.
DWORD open_or_create(const FilePath &path, DWORD disposition, int flags, UniqueFd *fd,
                     bool *existed)
{
    // O_PATH cannot create: a new file, regular by O_EXCL, is made read-only.
    int create_flags = flags & ~O_PATH;
    *existed = false;
    if (disposition == CREATE_NEW) {
        fd->reset(open_leaf(path, create_flags | O_CREAT | O_EXCL));
        if (fd->valid())
            return NO_ERROR;
        return open_error(path, errno, true);
    }
    if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) {
        fd->reset(open_leaf(path, flags));
        *existed = fd->valid();
        return fd->valid() ? NO_ERROR : open_error(path, errno, false);
    }
    // OPEN_ALWAYS, CREATE_ALWAYS: try both ways until one holds.
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        fd->reset(open_leaf(path, flags));
        if (fd->valid()) {
            *existed = true;
            return NO_ERROR;
        }
        if (errno != ENOENT)
            return open_error(path, errno, false);
        fd->reset(open_leaf(path, create_flags | O_CREAT | O_EXCL));
        if (fd->valid())
            return NO_ERROR;
        if (errno != EEXIST)
            return open_error(path, errno, true);
    }
    // Still neither: a dangling link on a native path. Create through it as
    // an ordinary open would.
    if (!path.confined) {
        fd->reset(open_leaf(path, create_flags | O_CREAT));
        if (fd->valid())
            return NO_ERROR;
    }
    return open_error(path, errno, true);
}

// The kernel's own file systems: their files look regular but are no data
// on a disk. Some block a reader for ever (/proc/kmsg), some never end.
bool on_kernel_file_system(int fd)
{
    struct statfs fs;
    if (fstatfs(fd, &fs) != 0)
        return false;
    switch (fs.f_type) {
    case PROC_SUPER_MAGIC:
    case SYSFS_MAGIC:
    case DEBUGFS_MAGIC:
    case TRACEFS_MAGIC:
    case SECURITYFS_MAGIC:
    case CGROUP_SUPER_MAGIC:
    case CGROUP2_SUPER_MAGIC:
    case BPF_FS_MAGIC:
    case PSTOREFS_MAGIC:
        return true;
    default:
        return false;
    }
}

// Such files count as devices: they keep O_NONBLOCK and are no disk files.
DWORD type_of(int fd, const struct stat &st)
{
    if (S_ISREG(st.st_mode))
        return on_kernel_file_system(fd) ? FILE_TYPE_CHAR : FILE_TYPE_DISK;
    if (S_ISCHR(st.st_mode))
        return FILE_TYPE_CHAR;
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))
        return FILE_TYPE_PIPE;
    return FILE_TYPE_UNKNOWN;
}

// Takes the share-mode lock, clears O_NONBLOCK and truncates if asked. A
// writer goes ahead without it when only accounts that may not write the
// file hold locks on it.
DWORD prepare_regular_file(int fd, DWORD share, bool truncate, bool writer)
{
    int lock = share == 0 ? LOCK_EX : LOCK_SH;
    while (flock(fd, lock | LOCK_NB) != 0) {
        if (errno == EINTR)
            continue;
        if (errno == EWOULDBLOCK && writer && locked_by_readers_only(fd))
            break;
        return errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : error_from_errno(errno);
    }
    int status = fcntl(fd, F_GETFL);
    if (status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0)
        return error_from_errno(errno);
    // Truncate only once the lock is ours, never under another handle.
    if (truncate && kernel().ftruncate(fd, 0) != 0)
        return error_from_errno(errno);
    return NO_ERROR;
}

// The open flags for a handle's access; without data access, O_PATH alone.
int access_flags(DWORD access, bool for_write, DWORD flags)
{
    bool can_read = (access & GENERIC_READ) != 0;
    if (access == 0 && !for_write)
        return O_PATH | O_CLOEXEC;
    int open_flags = O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    if (for_write)
        open_flags |= can_read ? O_RDWR : O_WRONLY;
    else
        open_flags |= O_RDONLY;
    if (flags & FILE_FLAG_WRITE_THROUGH)
        open_flags |= O_DSYNC;
    return open_flags;
}

// Opens the file; on success `*existed` tells whether it was there before.
DWORD open_file(const FileName &name, const OpenRequest &request,
                std::shared_ptr<HandleObject> *out, bool *existed)
{
    DWORD disposition = request.disposition;
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING)
        return ERROR_INVALID_PARAMETER;
    bool can_read = (request.access & GENERIC_READ) != 0;
    bool can_write = (request.access & GENERIC_WRITE) != 0;
    if (disposition == TRUNCATE_EXISTING && !can_write)
        return ERROR_INVALID_PARAMETER;

    bool may_create = disposition != OPEN_EXISTING && disposition != TRUNCATE_EXISTING;
    FilePath path;
    DWORD err = resolve_file_path(name, may_create, &path);
    if (err != NO_ERROR)
        return err;
    if (path.drive_root)
        return ERROR_ACCESS_DENIED;

    // Truncating needs a writable descriptor even for a read-only handle.
    bool may_truncate = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
    int flags = access_flags(request.access, can_write || may_truncate, request.flags);

    UniqueFd fd;
    err = open_or_create(path, disposition, flags, &fd, existed);
    if (err != NO_ERROR)
        return err;
    struct stat st;
    if (kernel().fstat(fd.get(), &st) != 0)
        return error_from_errno(errno);
    // Without backup semantics Windows refuses to open a directory. O_PATH
    // with O_NOFOLLOW gives a link itself where other opens fail: a link on
    // a drive path is refused all the same.
    if (S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode))
        return ERROR_ACCESS_DENIED;
    DWORD type = type_of(fd.get(), st);
    if (type == FILE_TYPE_DISK && !(flags & O_PATH)) {
        bool truncate = (disposition == CREATE_ALWAYS && *existed) || disposition == TRUNCATE_EXISTING;
        err = prepare_regular_file(fd.get(), request.share, truncate, can_write);
        if (err != NO_ERROR)
            return err;
    }
    *out = std::make_shared<FileObject>(std::move(fd), can_read, can_write, type);
    return NO_ERROR;
}

// ReOpenFile: opens the disk file behind an open handle anew, with the
// request's access, share mode and flags (its disposition is not used).
DWORD reopen_file(const FileObject &file, const OpenRequest &request,
                  std::shared_ptr<HandleObject> *out)
{
    // File attributes belong to a file's creation, never to a reopen.
    constexpr DWORD kAttributeBits = 0x0007FFFF;
    if (request.flags & kAttributeBits)
        return ERROR_INVALID_PARAMETER;
    // Reopening a pipe or a device would open it for data after all.
    if (file.file_type() != FILE_TYPE_DISK)
        return ERROR_INVALID_HANDLE;

    bool can_read = (request.access & GENERIC_READ) != 0;
    bool can_write = (request.access & GENERIC_WRITE) != 0;
    int flags = access_flags(request.access, can_write, request.flags);
    std::string self = descriptor_path(file.fd());
    UniqueFd fd(kernel().openat(AT_FDCWD, self.c_str(), flags, 0));
    if (!fd.valid())
        return error_from_errno(errno);
    struct stat was, now;
    if (kernel().fstat(file.fd(), &was) != 0 || kernel().fstat(fd.get(), &now) != 0)
        return error_from_errno(errno);
    // Only another file system mounted over /proc could lead elsewhere.
    if (was.st_dev != now.st_dev || was.st_ino != now.st_ino)
        return ERROR_ACCESS_DENIED;
    if (!(flags & O_PATH)) {
        DWORD err = prepare_regular_file(fd.get(), request.share, false, can_write);
        if (err != NO_ERROR)
            return err;
    }
    *out = std::make_shared<FileObject>(std::move(fd), can_read, can_write, FILE_TYPE_DISK);
    return NO_ERROR;
}

} // namespace
} // namespace w32

using namespace w32;

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
        err = open_mailslot_writer(name, dwDesiredAccess, &object);
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

namespace {

// ReadFile and WriteFile alike: `move` is the object's read or write, and the
// count of bytes moved is reported even when the call fails partway.
template <typename Buffer, typename Move>
BOOL move_data(HANDLE handle, Buffer buffer, DWORD size, LPDWORD moved, LPOVERLAPPED overlapped,
               Move move)
{
    if (moved)
        *moved = 0;
    std::shared_ptr<HandleObject> object = handle_get(handle);
    if (!object)
        return fail(ERROR_INVALID_HANDLE);
    if (!buffer && size)
        return fail(ERROR_INVALID_PARAMETER);
    DWORD done = 0;
    DWORD err = move(*object, buffer, size, &done, overlapped);
    if (moved)
        *moved = done;
    return err == NO_ERROR ? succeed() : fail(err);
}

} // namespace

extern "C" BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                         LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped)
{
    return move_data(hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped,
                     [](HandleObject &object, LPVOID buffer, DWORD size, DWORD *done,
                        LPOVERLAPPED overlapped) {
                         return overlapped ? DWORD(ERROR_INVALID_PARAMETER)
                                           : object.read(buffer, size, done);
                     });
}

extern "C" BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                          LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped)
{
    return move_data(hFile, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten, lpOverlapped,
                     [](HandleObject &object, LPCVOID data, DWORD size, DWORD *done,
                        LPOVERLAPPED overlapped) {
                         if (!overlapped)
                             return object.write(data, size, done);
                         if (overlapped->Offset != 0xFFFFFFFFu ||
                             overlapped->OffsetHigh != 0xFFFFFFFFu)
                             return DWORD(ERROR_INVALID_PARAMETER);
                         return object.append(data, size, done);
                     });
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

extern "C" BOOL DeleteFileA(LPCSTR lpFileName)
{
    FileName name;
    DWORD err = parse_file_name(lpFileName, &name);
    if (err != NO_ERROR)
        return fail(err);
    if (name.kind == NameKind::Mailslot)
        return fail(name.host.empty() ? ERROR_ACCESS_DENIED : ERROR_BAD_NETPATH);
    FilePath path;
    err = resolve_file_path(name, false, &path);
    if (err != NO_ERROR)
        return fail(err);
    if (path.drive_root)
        return fail(ERROR_ACCESS_DENIED);
    if (kernel().unlinkat(path.dir_fd(), path.leaf.c_str(), 0) != 0)
        return fail(errno == ENOENT ? missing_leaf_error(path) : error_from_errno(errno));
    return succeed();
}
