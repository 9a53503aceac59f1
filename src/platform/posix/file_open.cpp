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
#include "file_open.h"

#include <errno.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#include <string>

#include "file_object.h"
#include "file_path.h"
#include "last_error.h"

namespace w32 {
namespace {

// How often to retry when the file appears or vanishes between two opens.
constexpr int kCreateAttempts = 8;

int open_leaf(const FilePath &path, int flags)
{
    if (path.confined)
        flags |= O_NOFOLLOW;
    return openat(path.dir_fd(), path.leaf.c_str(), flags, 0666);
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

// Takes the share-mode lock, clears O_NONBLOCK and truncates if asked.
DWORD prepare_regular_file(int fd, DWORD share, bool truncate)
{
    int lock = share == 0 ? LOCK_EX : LOCK_SH;
    while (flock(fd, lock | LOCK_NB) != 0) {
        if (errno == EINTR)
            continue;
        return errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : error_from_errno(errno);
    }
    int status = fcntl(fd, F_GETFL);
    if (status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0)
        return error_from_errno(errno);
    // Truncate only once the lock is ours, never under another handle.
    if (truncate && ftruncate(fd, 0) != 0)
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

} // namespace

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
    if (fstat(fd.get(), &st) != 0)
        return error_from_errno(errno);
    // Without backup semantics Windows refuses to open a directory. O_PATH
    // with O_NOFOLLOW gives a link itself where other opens fail: a link on
    // a drive path is refused all the same.
    if (S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode))
        return ERROR_ACCESS_DENIED;
    DWORD type = type_of(fd.get(), st);
    if (type == FILE_TYPE_DISK && !(flags & O_PATH)) {
        bool truncate = (disposition == CREATE_ALWAYS && *existed) || disposition == TRUNCATE_EXISTING;
        err = prepare_regular_file(fd.get(), request.share, truncate);
        if (err != NO_ERROR)
            return err;
    }
    *out = std::make_shared<FileObject>(std::move(fd), can_read, can_write, type);
    return NO_ERROR;
}

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
    std::string self = "/proc/self/fd/" + std::to_string(file.fd());
    UniqueFd fd(open(self.c_str(), flags));
    if (!fd.valid())
        return error_from_errno(errno);
    struct stat was, now;
    if (fstat(file.fd(), &was) != 0 || fstat(fd.get(), &now) != 0)
        return error_from_errno(errno);
    // Only another file system mounted over /proc could lead elsewhere.
    if (was.st_dev != now.st_dev || was.st_ino != now.st_ino)
        return ERROR_ACCESS_DENIED;
    if (!(flags & O_PATH)) {
        DWORD err = prepare_regular_file(fd.get(), request.share, false);
        if (err != NO_ERROR)
            return err;
    }
    *out = std::make_shared<FileObject>(std::move(fd), can_read, can_write, FILE_TYPE_DISK);
    return NO_ERROR;
}

} // namespace w32
