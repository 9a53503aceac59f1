// The descriptor owner the layer, its tools and tests share.
#ifndef PLATFORM_POSIX_UNIQUE_FD_H
#define PLATFORM_POSIX_UNIQUE_FD_H

#include <unistd.h>

#include <string>

namespace w32 {

// A file descriptor that is closed when its owner goes away.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// The path /proc/self/fd/N: it leads to the very file open as `fd`, whatever
// its name has become since (and, for an O_PATH descriptor of a socket, to
// that very socket).
inline std::string descriptor_path(int fd)
{
    return "/proc/self/fd/" + std::to_string(fd);
}

} // namespace w32

#endif
