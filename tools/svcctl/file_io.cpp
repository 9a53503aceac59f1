#include "file_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "unique_fd.h"

bool ReadFileAt(int dirFd, const char *name, std::string &text)
{
    UniqueFd fd(openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd)
        return false;
    text.clear();
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        text.append(buf, static_cast<size_t>(n));
    }
}

bool WriteFileAt(int dirFd, const char *name, const std::string &text)
{
    UniqueFd fd(openat(dirFd, name, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    return fd && WriteAll(fd.get(), text);
}

bool WriteAll(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}
