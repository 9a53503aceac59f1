// A mailslot: its sockets, the rules it receives by, and the queue that
// ReadFile and GetMailslotInfo take from.
#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "last_error.h"
#include "mailslot_object.h"

namespace w32 {
namespace {

using Clock = std::chrono::steady_clock;

// Datagrams the receiver thread moves per wake-up, so one busy slot cannot
// keep it from the others.
constexpr size_t kReceiveBatch = 64;

const SocketRole kRoles[] = {kHolderSocket, kFileSocket};

// The credentials the kernel attached, if any.
bool sender_of(struct msghdr *msg, struct ucred *sender)
{
    for (struct cmsghdr *c = CMSG_FIRSTHDR(msg); c; c = CMSG_NXTHDR(msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS &&
            c->cmsg_len == CMSG_LEN(sizeof *sender)) {
            memcpy(sender, CMSG_DATA(c), sizeof *sender);
            return true;
        }
    }
    return false;
}

// Throws away the datagram at the head of a socket.
void discard(int fd)
{
    recv(fd, nullptr, 0, MSG_TRUNC | MSG_DONTWAIT);
}

} // namespace

MailslotServer::MailslotServer(UniqueFd holder, FileEntry entry, DWORD max_message,
                               DWORD read_timeout)
    : owner_(geteuid()), max_message_(max_message), read_timeout_(read_timeout),
      accepted_size_(max_message == 0 ? kMaxRawDatagramBytes
                                      : std::min<size_t>(max_message, kMaxRawDatagramBytes)),
      holder_(std::move(holder)), entry_(std::move(entry))
{
}

DWORD MailslotServer::start_receiving()
{
    std::lock_guard<std::mutex> lock(mutex_);
    const int sockets[2] = {holder_.get(), entry_.socket()};
    DWORD err = watch_.start(shared_from_this(), sockets);
    if (err == NO_ERROR)
        listening_[kHolderSocket] = listening_[kFileSocket] = true;
    return err;
}

bool MailslotServer::may_write_locked(const struct ucred *sender) const
{
    return open_to_everyone_ || (sender && (sender->uid == 0 || sender->uid == owner_));
}

void MailslotServer::queue_locked(std::vector<char> message)
{
    queued_bytes_ += message.size();
    queue_.push_back(std::move(message));
    arrived_.notify_all();
}

// A datagram from a raw client: the whole of it is the message.
void MailslotServer::take_raw_datagram_locked(int fd, size_t size)
{
    if (size > accepted_size_)
        return discard(fd);
    std::vector<char> message(size);
    ssize_t got = recv(fd, message.data(), message.size(), MSG_TRUNC | MSG_DONTWAIT);
    if (got >= 0 && size_t(got) == size) // else not the datagram peeked at: dropped
        queue_locked(std::move(message));
}

// A datagram from a layer writer: its kind, then the message, judged by who
// sent it.
void MailslotServer::take_layer_datagram_locked(int fd, size_t size)
{
    char kind = 0;
    std::vector<char> message(size > 0 ? size - 1 : 0);
    struct iovec parts[2] = {{&kind, 1}, {message.data(), message.size()}};
    struct sockaddr_un from;
    // Room for the credentials alone: descriptors a sender passes along do
    // not fit, and the kernel closes them instead of handing them over.
    union {
        struct cmsghdr align;
        char bytes[CMSG_SPACE(sizeof(struct ucred))];
    } control;
    struct msghdr msg = {};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = parts;
    msg.msg_iovlen = 2;
    msg.msg_control = control.bytes;
    msg.msg_controllen = sizeof control.bytes;
    ssize_t got = recvmsg(fd, &msg, MSG_TRUNC | MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    struct ucred sender;
    bool known = got >= 0 && sender_of(&msg, &sender);
    if (got <= 0 || size_t(got) != size)
        return;
    const bool may_write = may_write_locked(known ? &sender : nullptr);
    switch (kind) {
    case kDirectMessage:
        if (may_write && message.size() <= std::min(kMaxMessageBytes, accepted_size_))
            queue_locked(std::move(message));
        return;
    case kBroadcastMessage:
        if (message.size() <= std::min(kMaxBroadcastBytes, accepted_size_))
            queue_locked(std::move(message));
        return;
    case kPermissionProbe: {
        // Answered only at an abstract address, which cannot be swapped for
        // another socket's the way a path can.
        bool abstract = msg.msg_namelen > offsetof(struct sockaddr_un, sun_path) + 1 &&
                        from.sun_path[0] == '\0';
        const char answer = may_write ? kMayWrite : kMayNotWrite;
        if (abstract)
            sendto(fd, &answer, 1, MSG_DONTWAIT | MSG_NOSIGNAL,
                   reinterpret_cast<sockaddr *>(&from), msg.msg_namelen);
        return;
    }
    default: // not a kind the layer sends: dropped
        return;
    }
}

MailslotServer::Pump MailslotServer::pump_locked(SocketRole role, size_t budget)
{
    const int fd = role == kHolderSocket ? holder_.get() : entry_.socket();
    if (fd < 0)
        return Pump::Empty;
    for (; budget > 0; --budget) {
        if (queue_.size() >= kQueueMaxMessages)
            return Pump::Full;
        // The datagram's real size, without taking it yet.
        ssize_t size = recv(fd, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
        if (size < 0 && errno == EINTR)
            continue;
        if (size < 0)
            return Pump::Empty;
        const bool layer = role == kHolderSocket;
        const size_t message_size = layer && size > 0 ? size_t(size) - 1 : size_t(size);
        if (message_size > kMaxRawDatagramBytes) {
            discard(fd);
            continue;
        }
        if (!queue_.empty() && queued_bytes_ + message_size > kQueueMaxBytes)
            return Pump::Full;
        if (layer)
            take_layer_datagram_locked(fd, size_t(size));
        else
            take_raw_datagram_locked(fd, size_t(size));
    }
    return Pump::More;
}

// A socket that is not full again is watched again.
void MailslotServer::listen_locked(SocketRole role)
{
    const int fd = role == kHolderSocket ? holder_.get() : entry_.socket();
    if (listening_[role] || fd < 0)
        return;
    watch_.listen(role, fd);
    listening_[role] = true;
}

// What waits in the sockets goes into the queue first, so a count or a read
// right after a write sees it.
void MailslotServer::pump_all_locked()
{
    for (SocketRole role : kRoles)
        if (pump_locked(role, kQueueMaxMessages) != Pump::Full)
            listen_locked(role);
}

void MailslotServer::receive(SocketRole role)
{
    std::lock_guard<std::mutex> lock(mutex_);
    listening_[role] = false; // the event disarmed it
    if (closed_)
        return;
    if (pump_locked(role, kReceiveBatch) != Pump::Full)
        listen_locked(role);
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
    for (SocketRole role : kRoles)
        listen_locked(role); // there is room now
    return NO_ERROR;
}

DWORD MailslotServer::read(void *buffer, DWORD size, DWORD *done)
{
    *done = 0;
    const bool forever = read_timeout_ == MAILSLOT_WAIT_FOREVER;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(forever ? 0 : read_timeout_);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (closed_)
            return ERROR_INVALID_HANDLE;
        pump_all_locked();
        if (!queue_.empty())
            return take_locked(buffer, size, done);
        if (forever)
            arrived_.wait(lock);
        else if (Clock::now() >= deadline)
            return ERROR_SEM_TIMEOUT;
        else
            arrived_.wait_until(lock, deadline);
    }
}

DWORD MailslotServer::info(DWORD *max_message, DWORD *next_size, DWORD *count, DWORD *read_timeout)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_)
        return ERROR_INVALID_HANDLE;
    pump_all_locked();
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

DWORD MailslotServer::open_to_everyone()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_)
        return ERROR_INVALID_HANDLE;
    open_to_everyone_ = true;
    return entry_.open_to_everyone();
}

void MailslotServer::close()
{
    int sockets[2];
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        sockets[kHolderSocket] = holder_.get();
        sockets[kFileSocket] = entry_.socket();
    }
    // Outside the lock: the receiver thread takes it while it handles the
    // slot. Once closed_ is set it no longer touches the sockets.
    watch_.stop(sockets);
    std::lock_guard<std::mutex> lock(mutex_);
    entry_.close();
    holder_.reset(); // the name is free from now on
    queue_.clear();
    queued_bytes_ = 0;
    arrived_.notify_all(); // wakes blocked readers
}

} // namespace w32
