#ifndef PLATFORM_POSIX_KERNEL_CALLS_H
#define PLATFORM_POSIX_KERNEL_CALLS_H

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>

namespace w32 {

// The kernel calls through which the layer's files and mailslots reach their
// data and metadata. The layer makes them through one table, the real calls
// by default, so a test can make the kernel fail where it cannot be made to
// for real (a short write, EIO in the middle of a read).
//
// The table covers the calls that move a file's or a message's bytes, and
// those that look at or remove what a name leads to: the members below. The
// layer makes every other call directly, as a test has no failure of them to
// stage that the real kernel cannot give: setting up descriptors and sockets
// (socket, bind, connect, setsockopt, getsockopt, fcntl, close), locks
// (flock), waiting (poll), making and changing folders and entries
// (mkdirat, renameat, fchmod, readlinkat), and the send and recv of the
// relay's link (relay_link.cpp) and of the service channel
// (service_control.cpp).
struct KernelCalls {
    int (*openat)(int dir, const char *path, int flags, mode_t mode);
    ssize_t (*read)(int fd, void *buffer, size_t size);
    ssize_t (*write)(int fd, const void *data, size_t size);
    off_t (*lseek)(int fd, off_t offset, int whence);
    int (*ftruncate)(int fd, off_t length);
    int (*fstat)(int fd, struct stat *st);
    int (*fstatat)(int dir, const char *path, struct stat *st, int flags);
    int (*unlinkat)(int dir, const char *path, int flags);
    ssize_t (*recv)(int fd, void *buffer, size_t size, int flags);
    ssize_t (*recvmsg)(int fd, struct msghdr *msg, int flags);
    ssize_t (*sendmsg)(int fd, const struct msghdr *msg, int flags);
    ssize_t (*sendto)(int fd, const void *data, size_t size, int flags,
                      const struct sockaddr *to, socklen_t to_length);
};

// The real calls, to start a replacement table from.
const KernelCalls &real_kernel_calls();

// Makes every thread of the layer use `calls`, which must stay valid until
// restore_kernel_calls() has returned.
void replace_kernel_calls(const KernelCalls *calls);
void restore_kernel_calls();

} // namespace w32

#endif
