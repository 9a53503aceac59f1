// An open file, FIFO or device behind a handle.
#ifndef PLATFORM_POSIX_FILE_OBJECT_H
#define PLATFORM_POSIX_FILE_OBJECT_H

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
    int fd() const { return fd_.get(); }

private:
    DWORD write_all(const void *data, DWORD size, DWORD *done);

    UniqueFd fd_;
    const bool can_read_;
    const bool can_write_;
    const DWORD type_;
};

} // namespace w32

#endif
