#include "mailslot_server.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "last_error.h"
#include "mailslot_limits.h"

namespace w32 {
namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() <= 0 ? 0 : int(std::min<long long>(left.count(), 60 * 1000));
}

} // namespace

MailslotServer::MailslotServer(UniqueFd socket, std::string path, const struct stat &identity,
                               DWORD max_message, DWORD read_timeout)
    : socket_(std::move(socket)), path_(std::move(path)), device_(identity.st_dev),
      inode_(identity.st_ino), max_message_(max_message), read_timeout_(read_timeout),
      accepted_size_(max_message == 0 ? kMaxMessageBytes
                                      : std::min<size_t>(max_message, kMaxMessageBytes))
{
}

void MailslotServer::drain_locked()
{
    const int fd = socket_.get();
    while (queue_.size() < kQueueMaxMessages) {
        // The datagram's real size, without taking it yet.
        ssize_t size = recv(fd, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
        if (size < 0 && errno == EINTR)
            continue;
        if (size < 0)
            return; // nothing more waiting
        if (size_t(size) > accepted_size_) {
            // Larger than any message may be: discard it.
            recv(fd, nullptr, 0, MSG_TRUNC | MSG_DONTWAIT);
            continue;
        }
        if (!queue_.empty() && queued_bytes_ + size_t(size) > kQueueMaxBytes)
            return;
        std::vector<char> message(static_cast<size_t>(size));
        ssize_t got = recv(fd, message.data(), message.size(), MSG_TRUNC | MSG_DONTWAIT);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return;
        if (size_t(got) != message.size())
            continue; // not the datagram peeked at: drop it rather than guess
        queued_bytes_ += message.size();
        queue_.push_back(std::move(message));
    }
}

DWORD MailslotServer::take_locked(void *buffer, DWORD size, DWORD *done)
{
    std::vector<char> &head = queue_.front();
    if (head.size() > size)
        return ERROR_INSUFFICIENT_BUFFER; // stays at the head
    if (!head.empty())
        memcpy(buffer, head.data(), head.size());
    *done = DWORD(head.size());
    queued_bytes_ -= head.size();
    queue_.pop_front();
    return NO_ERROR;
}

DWORD MailslotServer::read(void *buffer, DWORD size, DWORD *done)
{
    *done = 0;
    const bool forever = read_timeout_ == MAILSLOT_WAIT_FOREVER;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : read_timeout_);
    for (;;) {
        if (closed_.load())
            return ERROR_INVALID_HANDLE;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            drain_locked();
            if (!queue_.empty())
                return take_locked(buffer, size, done);
        }
        int wait_ms = forever ? -1 : remaining_ms(deadline);
        if (wait_ms == 0)
            return ERROR_SEM_TIMEOUT;
        // Woken by a datagram, or by close() shutting the socket down.
        struct pollfd waiter = {socket_.get(), POLLIN, 0};
        if (poll(&waiter, 1, wait_ms) < 0 && errno != EINTR)
            return error_from_errno(errno);
    }
}

DWORD MailslotServer::info(DWORD *max_message, DWORD *next_size, DWORD *count, DWORD *read_timeout)
{
    if (closed_.load())
        return ERROR_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(mutex_);
    drain_locked();
    if (max_message)
        *max_message = max_message_;
    if (next_size)
        *next_size = queue_.empty() ? MAILSLOT_NO_MESSAGE : DWORD(queue_.front().size());
    if (count)
        *count = DWORD(queue_.size());
    if (read_timeout)
        *read_timeout = read_timeout_;
    return NO_ERROR;
}

bool MailslotServer::name_is_ours() const
{
    struct stat st;
    return lstat(path_.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_dev == device_ &&
           st.st_ino == inode_;
}

DWORD MailslotServer::open_to_everyone()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_.load() || !name_held_)
        return ERROR_INVALID_HANDLE;
    // The name lives in a sticky directory: nobody else can swap it.
    if (!name_is_ours())
        return ERROR_ACCESS_DENIED;
    if (chmod(path_.c_str(), 0666) != 0)
        return error_from_errno(errno);
    return NO_ERROR;
}

void MailslotServer::close()
{
    std::lock_guard<std::mutex> lock(mutex_);
    closed_.store(true);
    // Give the name up only if it is still ours, then wake blocked readers.
    if (name_held_ && name_is_ours())
        unlink(path_.c_str());
    name_held_ = false;
    shutdown(socket_.get(), SHUT_RDWR);
}

} // namespace w32
