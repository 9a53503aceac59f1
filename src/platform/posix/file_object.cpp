#include "file_object.h"

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <time.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "last_error.h"

static_assert(sizeof(off_t) >= 8, "the layer needs 64-bit file offsets");

namespace w32 {

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
        ssize_t n = ::read(fd_.get(), out + *done, size - *done);
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

namespace {

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

} // namespace

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

DWORD FileObject::write_all(const void *data, DWORD size, DWORD *done)
{
    const char *in = static_cast<const char *>(data);
    while (*done < size) {
        ssize_t n = ::write(fd_.get(), in + *done, size - *done);
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
        base = lseek(fd_.get(), 0, SEEK_CUR);
        if (base < 0)
            return error_from_errno(errno);
    } else if (method == FILE_END) {
        struct stat st;
        if (fstat(fd_.get(), &st) != 0)
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
    off_t reached = lseek(fd_.get(), off_t(target), SEEK_SET);
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
    off_t here = lseek(fd_.get(), 0, SEEK_CUR);
    if (here < 0)
        return error_from_errno(errno);
    while (ftruncate(fd_.get(), here) != 0) {
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
    if (fstat(fd_.get(), &st) != 0)
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
    off_t saved = lseek(fd_.get(), 0, SEEK_CUR);
    if (saved < 0)
        return error_from_errno(errno);
    for (int64_t at = query.FileOffset.QuadPart; at < end;) {
        off_t data = lseek(fd_.get(), off_t(at), SEEK_DATA);
        off_t hole = data >= 0 ? lseek(fd_.get(), data, SEEK_HOLE) : -1;
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
    lseek(fd_.get(), saved, SEEK_SET);
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

} // namespace w32
