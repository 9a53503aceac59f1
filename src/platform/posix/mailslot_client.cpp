#include "mailslot_client.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>

#include "last_error.h"
#include "mailslot_limits.h"
#include "mailslot_socket.h"

namespace w32 {
namespace {

// The socket file at `path` itself, never a link planted at its name: the
// mailslot directory is open to every account, so anyone may put a link
// there. The name is opened without following a link, and messages go to
// the descriptor's /proc path, which leads to that very file. Invalid
// (errno set) when the name is missing or is not a socket.
UniqueFd open_socket_file(const std::string &path)
{
    UniqueFd file(open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (file.valid() && (fstat(file.get(), &st) != 0 || !S_ISSOCK(st.st_mode))) {
        file.reset();
        errno = ECONNREFUSED;
    }
    return file;
}

std::string descriptor_path(const UniqueFd &fd)
{
    return "/proc/self/fd/" + std::to_string(fd.get());
}

} // namespace

DWORD MailslotClient::write(const void *data, DWORD size, DWORD *done)
{
    *done = 0;
    if (!can_write_)
        return ERROR_ACCESS_DENIED;
    return broadcast_ ? write_broadcast(data, size, done) : write_direct(data, size, done);
}

DWORD MailslotClient::write_direct(const void *data, DWORD size, DWORD *done)
{
    if (size > kMaxMessageBytes)
        return ERROR_INVALID_PARAMETER;
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kWriteTimeoutMs);
    for (;;) {
        if (closed_.load())
            return ERROR_INVALID_HANDLE;
        ssize_t sent = send(socket_.get(), data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent >= 0) {
            *done = DWORD(sent);
            return NO_ERROR;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return error_from_errno(errno);
        // The holder's queue is full: wait for room, or for close().
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return ERROR_SEM_TIMEOUT;
        struct pollfd waiter = {socket_.get(), POLLOUT, 0};
        if (poll(&waiter, 1, int(std::min<long long>(left.count(), kWriteTimeoutMs))) < 0 &&
            errno != EINTR)
            return error_from_errno(errno);
    }
}

DWORD MailslotClient::write_broadcast(const void *data, DWORD size, DWORD *done)
{
    if (closed_.load())
        return ERROR_INVALID_HANDLE;
    if (size > kMaxBroadcastBytes)
        return ERROR_BAD_NETPATH;
    // A holder that is missing or full simply misses the message.
    UniqueFd holder = open_socket_file(path_);
    if (!holder.valid()) {
        *done = size;
        return NO_ERROR;
    }
    struct sockaddr_un address;
    socklen_t length = socket_address(descriptor_path(holder), &address);
    ssize_t sent;
    do {
        sent = sendto(socket_.get(), data, size, MSG_DONTWAIT | MSG_NOSIGNAL,
                      reinterpret_cast<sockaddr *>(&address), length);
    } while (sent < 0 && errno == EINTR);
    *done = size;
    return NO_ERROR;
}

void MailslotClient::close()
{
    closed_.store(true);
    shutdown(socket_.get(), SHUT_RDWR); // wakes a WriteFile waiting for room
}

DWORD open_mailslot_client(const FileName &name, DWORD access, std::shared_ptr<HandleObject> *out)
{
    SlotLocation where;
    DWORD err = locate_slot(name.slot, &where);
    if (err != NO_ERROR)
        return err;
    UniqueFd socket = new_datagram_socket();
    if (!socket.valid())
        return error_from_errno(errno);
    if (!name.broadcast) {
        UniqueFd holder = open_socket_file(where.path);
        if (!holder.valid())
            return error_from_errno(errno);
        struct sockaddr_un address;
        socklen_t length = socket_address(descriptor_path(holder), &address);
        int rc;
        do {
            rc = connect(socket.get(), reinterpret_cast<sockaddr *>(&address), length);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0)
            return error_from_errno(errno);
    }
    bool can_write = (access & GENERIC_WRITE) != 0;
    *out = std::make_shared<MailslotClient>(std::move(socket), name.broadcast, can_write, where.path);
    return NO_ERROR;
}

} // namespace w32
