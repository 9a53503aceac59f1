// A mailslot writer's link to the host's mailslot-relay: finding the relay's
// socket by the layer's trust rule, and its requests and replies.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "platform/posix/internal.h"
#include "platform/posix/poll_deadline.h"
#include "platform/posix/machine_root.h"

namespace w32 {
namespace {

using Clock = std::chrono::steady_clock;

// How often a wait looks whether the link was closed meanwhile.
constexpr int kCloseCheckMs = 50;

// The longest reply the relay sends ("ok A.B.C.D", "error 87").
constexpr size_t kMaxReply = 64;

// The relay's socket, opened without following a link: a socket of root or
// this account in the checked relay folder.
UniqueFd open_relay_socket()
{
    UniqueFd dir;
    if (open_relay_dir(&dir) != NO_ERROR)
        return UniqueFd();
    UniqueFd file(kernel().openat(dir.get(), kRelaySocket, O_PATH | O_NOFOLLOW | O_CLOEXEC, 0));
    struct stat st;
    if (!file.valid() || kernel().fstat(file.get(), &st) != 0 || !S_ISSOCK(st.st_mode) ||
        !owner_is_trusted(st))
        return UniqueFd();
    return file;
}

bool is_broken_link(int err)
{
    return err == EPIPE || err == ECONNRESET || err == ENOTCONN;
}

// Waits for `events` on the link until the deadline; false when it passed
// or the link was closed.
bool wait_on(int fd, short events, Clock::time_point deadline,
                    const std::atomic<bool> &closed)
{
    for (;;) {
        if (closed.load())
            return false;
        PollResult result = poll_until(fd, events, deadline, kCloseCheckMs);
        if (result != PollResult::Waiting)
            return result == PollResult::Ready;
    }
}

} // namespace

bool RelayLink::connect()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return connect_locked();
}

bool RelayLink::connect_locked()
{
    if (closed_.load())
        return false;
    if (socket_.valid())
        return true;
    UniqueFd file = open_relay_socket();
    if (!file.valid())
        return false;
    // Through the descriptor's /proc path: the very socket file checked above.
    struct sockaddr_un address;
    descriptor_socket_address(file.get(), &address);
    UniqueFd fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    // A relay that has stopped accepting must not hold the connect for ever.
    const struct timeval timeout = {kReplyTimeoutMs / 1000, (kReplyTimeoutMs % 1000) * 1000};
    if (!fd.valid() || setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) != 0)
        return false;
    int rc;
    do {
        rc = ::connect(fd.get(), reinterpret_cast<sockaddr *>(&address), sizeof address);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0)
        return false; // ECONNREFUSED: a socket left by a relay that is gone
    socket_ = std::move(fd);
    unanswered_ = 0;
    return true;
}

bool RelayLink::send_locked(const std::string &request, bool wait)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kReplyTimeoutMs);
    for (bool retried = false;;) {
        if (!connect_locked())
            return false;
        ssize_t sent = send(socket_.get(), request.data(), request.size(),
                            MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent == ssize_t(request.size()))
            return true;
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && errno == EAGAIN && wait &&
            wait_on(socket_.get(), POLLOUT, deadline, closed_))
            continue;
        const bool broken = sent < 0 && is_broken_link(errno);
        socket_.reset();
        // A relay restarted since the link was made: once more, on a new link.
        if (!broken || retried)
            return false;
        retried = true;
    }
}

bool RelayLink::receive_locked(std::string *reply, bool wait)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kReplyTimeoutMs);
    char buffer[kMaxReply];
    for (;;) {
        ssize_t got = recv(socket_.get(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (got > 0) {
            reply->assign(buffer, size_t(got));
            return true;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && errno == EAGAIN) {
            if (!wait)
                return false;
            if (wait_on(socket_.get(), POLLIN, deadline, closed_))
                continue;
        }
        socket_.reset(); // closed by the relay, or silent too long
        return false;
    }
}

bool RelayLink::ask(const std::string &request, std::string *reply)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!connect_locked())
        return false;
    // The relay answers in order: first the replies to earlier posts.
    for (; unanswered_ > 0; --unanswered_)
        if (!receive_locked(reply, true))
            return false;
    return send_locked(request, true) && receive_locked(reply, true);
}

bool RelayLink::post(const std::string &request)
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::string dropped;
    while (unanswered_ > 0 && socket_.valid() && receive_locked(&dropped, false))
        --unanswered_;
    if (!send_locked(request, false))
        return false;
    ++unanswered_;
    return true;
}

void RelayLink::close()
{
    closed_.store(true);
    std::lock_guard<std::mutex> lock(mutex_);
    socket_.reset();
}

} // namespace w32
