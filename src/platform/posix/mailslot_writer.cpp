// The writing end of a mailslot, as CreateFileA opens it: direct handles,
// connected to the holder once it has said that this account may write,
// broadcast handles, and handles on another machine's or a workgroup's slot,
// whose writes the host's relay carries.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>

#include "platform/posix/internal.h"
#include "platform/posix/poll_deadline.h"
#include "platform/posix/relay_handoff.h"
#include "platform/posix/mailslot_extensions.h"

namespace w32 {
namespace {

using Clock = std::chrono::steady_clock;

// What this process lets a direct open's probe or a direct write wait for
// room: kWriteTimeoutMs unless mailslot_limit_waits() said less.
std::atomic<DWORD> g_wait_limit_ms{kWriteTimeoutMs};

Clock::time_point wait_deadline()
{
    return Clock::now() + std::chrono::milliseconds(g_wait_limit_ms.load());
}

// How long a broadcast waits on a slot whose socket is full: enough for a
// busy receiver thread, or for one that drains another account's flood, not
// for a reader that has stopped.
constexpr int kDeliveryWaitMs = 1000;

// A datagram socket whose blocking sends give up after kDeliveryWaitMs.
UniqueFd new_delivery_socket()
{
    UniqueFd socket = new_datagram_socket();
    const struct timeval wait = {kDeliveryWaitMs / 1000, (kDeliveryWaitMs % 1000) * 1000};
    if (socket.valid() &&
        setsockopt(socket.get(), SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait) != 0)
        socket.reset();
    return socket;
}

// "\\.\mailslot\NAME" is a direct handle: its socket is connected to the
// holder, and a WriteFile waits (at most kWriteTimeoutMs) while the holder
// is full. "\\*\mailslot\NAME" is a broadcast handle: it waits at most
// kDeliveryWaitMs for room in a holder's socket (another account may be
// flooding it), and a message nobody can take is lost, as a broadcast is;
// when the host runs a relay, the relay also sends it to the workgroup.
// "\\HOST\mailslot\NAME"
// on another machine or workgroup is a remote handle: each WriteFile is one
// request to the relay, which sends it as a datagram.
class MailslotWriter : public HandleObject {
public:
    enum class Reach { Direct, Broadcast, Remote };

    MailslotWriter(UniqueFd socket, Reach reach, std::string slot, bool can_write,
                   std::unique_ptr<RelayLink> relay, std::string send_header);

    DWORD write(const void *data, DWORD size, DWORD *done) override;
    void close() override;

private:
    DWORD write_direct(const void *data, DWORD size, DWORD *done);
    DWORD write_broadcast(const void *data, DWORD size, DWORD *done);
    DWORD write_remote(const void *data, DWORD size, DWORD *done);

    const UniqueFd socket_;
    const Reach reach_;
    const std::string slot_;
    const bool can_write_;
    const std::unique_ptr<RelayLink> relay_;
    const std::string send_header_; // Remote: the relay's request, up to the data
    std::atomic<bool> closed_{false};
};

// Waits until `fd` is ready for `events`: NO_ERROR, or ERROR_SEM_TIMEOUT
// once the deadline has passed.
DWORD wait_for(int fd, short events, Clock::time_point deadline)
{
    switch (poll_until(fd, events, deadline, kWriteTimeoutMs)) {
    case PollResult::Expired:
        return ERROR_SEM_TIMEOUT;
    case PollResult::Failed:
        return error_from_errno(errno);
    default:
        return NO_ERROR;
    }
}

// Sends one layer datagram, its kind first, without waiting unless asked
// to (then for as long as the socket's send timeout allows). It carries the
// effective ids as credentials, so the holder judges the account that acts.
ssize_t send_layer_datagram(int fd, char kind, const void *data, size_t size,
                            const SlotPlace *to = nullptr, bool wait = false)
{
    struct iovec parts[2] = {{&kind, 1}, {const_cast<void *>(data), size}};
    CredentialsControl control = {};
    struct msghdr msg = {};
    if (to) {
        msg.msg_name = const_cast<sockaddr_un *>(&to->holder);
        msg.msg_namelen = to->holder_length;
    }
    msg.msg_iov = parts;
    msg.msg_iovlen = 2;
    msg.msg_control = control.bytes;
    msg.msg_controllen = sizeof control.bytes;
    struct cmsghdr *c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_CREDENTIALS;
    c->cmsg_len = CMSG_LEN(sizeof(struct ucred));
    const struct ucred self = {getpid(), geteuid(), getegid()};
    memcpy(CMSG_DATA(c), &self, sizeof self);
    ssize_t sent;
    do {
        sent = kernel().sendmsg(fd, &msg, (wait ? 0 : MSG_DONTWAIT) | MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent;
}

// Asks the holder whether this account may write. The socket is connected
// to the holder, so the answer can come from the holder alone; the kernel
// tells whose account sent it.
DWORD ask_permission(int fd, uid_t *holder = nullptr)
{
    const Clock::time_point deadline = wait_deadline();
    int on = 1;
    DWORD err = setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) == 0
                    ? NO_ERROR
                    : error_from_errno(errno);
    while (err == NO_ERROR && send_layer_datagram(fd, kPermissionProbe, nullptr, 0) < 0)
        err = errno == EAGAIN ? wait_for(fd, POLLOUT, deadline) : error_from_errno(errno);
    while (err == NO_ERROR) {
        char answer = 0;
        struct iovec part = {&answer, 1};
        CredentialsControl control;
        struct msghdr msg = {};
        msg.msg_iov = &part;
        msg.msg_iovlen = 1;
        msg.msg_control = control.bytes;
        msg.msg_controllen = sizeof control.bytes;
        ssize_t got = kernel().recvmsg(fd, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
        if (got == 1) {
            struct ucred sender;
            if (holder && !sender_credentials(&msg, &sender))
                return ERROR_ACCESS_DENIED;
            if (holder)
                *holder = sender.uid;
            return answer == kMayWrite ? NO_ERROR : ERROR_ACCESS_DENIED;
        }
        err = got < 0 && errno != EAGAIN && errno != EINTR ? error_from_errno(errno)
                                                          : wait_for(fd, POLLIN, deadline);
    }
    return err;
}

// A socket connected to the slot's live holder, which has let this account
// write when `write` is asked for.
DWORD connect_to_holder(const std::string &slot, bool write, UniqueFd *out)
{
    SlotPlace place;
    DWORD err = find_slot_place(slot, MissingDir::Fail, &place);
    if (err == ERROR_PATH_NOT_FOUND)
        return ERROR_FILE_NOT_FOUND; // no mailslot directory: no holder either
    if (err != NO_ERROR)
        return err;
    UniqueFd fd = new_datagram_socket();
    // An abstract address of its own (autobind), where the answer comes to.
    const sa_family_t unix_family = AF_UNIX;
    if (!fd.valid() ||
        bind(fd.get(), reinterpret_cast<const sockaddr *>(&unix_family), sizeof unix_family) != 0)
        return error_from_errno(errno);
    int rc;
    do {
        rc = connect(fd.get(), reinterpret_cast<sockaddr *>(&place.holder), place.holder_length);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0)
        return error_from_errno(errno); // ECONNREFUSED: nobody holds the name
    if (write && (err = ask_permission(fd.get())) != NO_ERROR)
        return err;
    *out = std::move(fd);
    return NO_ERROR;
}

// Sends to a raw socket at the slot's exact file name, never through a link
// planted there: the directory is open to every account. The name is opened
// without following a link and reached through the descriptor's /proc path;
// the kernel still checks that this account may write to the socket.
bool send_to_socket_file(int socket, int dir, const std::string &name, const void *data,
                         size_t size)
{
    UniqueFd file(openat(dir, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!file.valid() || fstat(file.get(), &st) != 0 || !S_ISSOCK(st.st_mode))
        return false;
    struct sockaddr_un address;
    socklen_t length = descriptor_socket_address(file.get(), &address);
    return kernel().sendto(socket, data, size, MSG_DONTWAIT | MSG_NOSIGNAL,
                           reinterpret_cast<sockaddr *>(&address), length) >= 0;
}

// The holder of the name, in whatever case, gets the message; with no
// holder, a raw socket at the exact file name does. A holder whose socket is
// full gets ERROR_BUSY, and when nothing takes the message,
// ERROR_FILE_NOT_FOUND. Without `wait` nothing waits (the relay serves other
// slots meanwhile); with it, a full holder gets the socket's send timeout to
// make room, so another account's flood cannot crowd out the message.
DWORD deliver_broadcast(int socket, const std::string &slot, const void *data, size_t size,
                        bool wait)
{
    SlotPlace place;
    if (find_slot_place(slot, MissingDir::Fail, &place) != NO_ERROR)
        return ERROR_FILE_NOT_FOUND;
    if (send_layer_datagram(socket, kBroadcastMessage, data, size, &place, wait) >= 0)
        return NO_ERROR;
    if (errno == EAGAIN)
        return ERROR_BUSY;
    if (errno == ECONNREFUSED && send_to_socket_file(socket, place.dir.get(), slot, data, size))
        return NO_ERROR;
    return errno == EAGAIN ? ERROR_BUSY : ERROR_FILE_NOT_FOUND;
}

// Whether the relay's requests can carry `slot`: one line of text.
bool is_relayable_slot(const std::string &slot)
{
    for (unsigned char c : slot)
        if (c < ' ')
            return false;
    return true;
}

// A handle on another machine's or a workgroup's slot: the relay resolves
// the name at once, so a name nobody answers to fails here, and says whether
// it is a machine (a unique name) or a workgroup (a group name).
DWORD open_remote_writer(const FileName &name, bool can_write, std::shared_ptr<HandleObject> *out)
{
    if (!is_relayable_slot(name.slot))
        return ERROR_INVALID_NAME;
    auto relay = std::make_unique<RelayLink>();
    std::string reply;
    HandoffRequest request;
    request.target = name.host;
    if (!relay->ask(format_handoff_request(request), &reply))
        return ERROR_BAD_NETPATH;
    Resolved resolved = parse_resolve_reply(reply);
    if (resolved == Resolved::Nothing)
        return ERROR_BAD_NETPATH;
    request.kind = resolved == Resolved::Group ? HandoffRequest::Kind::SendGroup
                                               : HandoffRequest::Kind::SendUnique;
    request.slot = name.slot;
    std::string header = format_handoff_request(request);
    *out = std::make_shared<MailslotWriter>(UniqueFd(), MailslotWriter::Reach::Remote, name.slot,
                                            can_write, std::move(relay), std::move(header));
    return NO_ERROR;
}

} // namespace

MailslotWriter::MailslotWriter(UniqueFd socket, Reach reach, std::string slot, bool can_write,
                               std::unique_ptr<RelayLink> relay, std::string send_header)
    : socket_(std::move(socket)), reach_(reach), slot_(std::move(slot)), can_write_(can_write),
      relay_(std::move(relay)), send_header_(std::move(send_header))
{
}

DWORD MailslotWriter::write(const void *data, DWORD size, DWORD *done)
{
    *done = 0;
    if (!can_write_)
        return ERROR_ACCESS_DENIED;
    // Broadcasts and remote writes carry what one datagram between machines does.
    if (reach_ != Reach::Direct && closed_.load())
        return ERROR_INVALID_HANDLE;
    if (reach_ != Reach::Direct && size > kMaxBroadcastBytes)
        return ERROR_BAD_NETPATH;
    switch (reach_) {
    case Reach::Broadcast:
        return write_broadcast(data, size, done);
    case Reach::Remote:
        return write_remote(data, size, done);
    default:
        return write_direct(data, size, done);
    }
}

DWORD MailslotWriter::write_direct(const void *data, DWORD size, DWORD *done)
{
    if (size > kMaxMessageBytes)
        return ERROR_INVALID_PARAMETER;
    const Clock::time_point deadline = wait_deadline();
    for (;;) {
        if (closed_.load())
            return ERROR_INVALID_HANDLE;
        if (send_layer_datagram(socket_.get(), kDirectMessage, data, size) >= 0) {
            *done = size;
            return NO_ERROR;
        }
        if (errno != EAGAIN)
            return error_from_errno(errno);
        // The holder's queue is full: wait for room, or for close().
        DWORD err = wait_for(socket_.get(), POLLOUT, deadline);
        if (err != NO_ERROR)
            return err;
    }
}

// This machine's holder gets it, and, through the relay when one runs, the
// workgroup's other machines: the relay never delivers its own broadcast
// back here. A relay that cannot take it at once misses it, as a network
// may.
DWORD MailslotWriter::write_broadcast(const void *data, DWORD size, DWORD *done)
{
    *done = size;
    deliver_broadcast(socket_.get(), slot_, data, size, true);
    if (is_relayable_slot(slot_)) {
        HandoffRequest request;
        request.kind = HandoffRequest::Kind::SendAll;
        request.slot = slot_;
        const uint8_t *bytes = static_cast<const uint8_t *>(data);
        request.data.assign(bytes, bytes + size);
        relay_->post(format_handoff_request(request));
    }
    return NO_ERROR;
}

DWORD MailslotWriter::write_remote(const void *data, DWORD size, DWORD *done)
{
    std::string reply;
    if (!relay_->ask(send_header_ + std::string(static_cast<const char *>(data), size), &reply) ||
        reply != kHandoffOk)
        return closed_.load() ? ERROR_INVALID_HANDLE : ERROR_BAD_NETPATH;
    *done = size;
    return NO_ERROR;
}

void MailslotWriter::close()
{
    closed_.store(true);
    if (socket_.valid())
        shutdown(socket_.get(), SHUT_RDWR); // wakes a WriteFile waiting for room
    if (relay_)
        relay_->close();
}

DWORD open_mailslot_writer(const FileName &name, DWORD access, std::shared_ptr<HandleObject> *out)
{
    DWORD err = check_slot_name(name.slot);
    if (err != NO_ERROR)
        return err;
    const bool can_write = (access & GENERIC_WRITE) != 0;
    if (!name.host.empty())
        return open_remote_writer(name, can_write, out);
    UniqueFd socket;
    std::unique_ptr<RelayLink> relay;
    if (name.broadcast) {
        socket = new_delivery_socket();
        if (!socket.valid())
            return error_from_errno(errno);
        relay = std::make_unique<RelayLink>();
    } else if ((err = connect_to_holder(name.slot, can_write, &socket)) != NO_ERROR) {
        return err;
    }
    const auto reach = name.broadcast ? MailslotWriter::Reach::Broadcast
                                      : MailslotWriter::Reach::Direct;
    *out = std::make_shared<MailslotWriter>(std::move(socket), reach, name.slot, can_write,
                                            std::move(relay), "");
    return NO_ERROR;
}

DWORD mailslot_holder_account(const char *slot, uid_t *account)
{
    FileName name;
    DWORD err = parse_file_name(slot, &name);
    if (err == NO_ERROR && (name.kind != NameKind::Mailslot || name.broadcast || !name.host.empty()))
        err = ERROR_INVALID_NAME;
    UniqueFd socket;
    if (err == NO_ERROR)
        err = connect_to_holder(name.slot, false, &socket);
    if (err == NO_ERROR) {
        err = ask_permission(socket.get(), account);
        if (err == ERROR_ACCESS_DENIED) // the answer is no; the account is still known
            err = NO_ERROR;
    }
    return err;
}

void mailslot_limit_waits(DWORD ms)
{
    g_wait_limit_ms.store(std::min<DWORD>(ms, kWriteTimeoutMs));
}

DWORD deliver_local_broadcast(const std::string &slot, const void *data, size_t size)
{
    if (size > kMaxBroadcastBytes)
        return ERROR_BAD_NETPATH;
    DWORD err = check_slot_name(slot);
    if (err != NO_ERROR)
        return err;
    UniqueFd socket = new_datagram_socket();
    if (!socket.valid())
        return error_from_errno(errno);
    return deliver_broadcast(socket.get(), slot, data, size, false);
}

} // namespace w32
