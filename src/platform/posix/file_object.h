// An open file, FIFO or device behind a handle.
#ifndef PLATFORM_POSIX_FILE_OBJECT_H
#define PLATFORM_POSIX_FILE_OBJECT_H

#include <mutex>
#include <utility>

#include "handle_object.h"
#include "unique_fd.h"

namespace w32 {

class FileObject : public HandleObject {
public:
    FileObject(UniqueFd fd, bool can_read, bool can_write, DWORD type)
        : fd_(std::move(fd)), can_read_(can_read), can_write_(can_write), type_(type)
    {
    }

    DWORD read(void *buffer, DWORD size, DWORD *done) override;
    DWORD write(const void *data, DWORD size, DWORD *done) override;
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

} // namespace w32

#endif
