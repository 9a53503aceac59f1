// Mailslots: a slot's name (its holder's abstract address, the claim on it and
// the socket file kept at the name for raw clients), the slot itself (its
// sockets, the rules it receives by, and the queue that ReadFile and
// GetMailslotInfo take from), and CreateMailslotA, GetMailslotInfo and
// SetSecurityInfo. How the pieces fit: internal.h.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "platform/posix/internal.h"
#include "platform/posix/mailslot_extensions.h"

namespace w32 {
namespace {

constexpr char kAbstractPrefix[] = "w32-mailslot/";

// The abstract address holds a leading NUL, the prefix, the directory's
// device and inode in at most 16 hex digits each with ':' and '/', and the
// name, so every name up to this length fits on every machine.
constexpr size_t kMaxSlotName =
    sizeof(sockaddr_un::sun_path) - 1 - (sizeof kAbstractPrefix - 1) - (16 + 1 + 16 + 1);

socklen_t path_address(const std::string &path, struct sockaddr_un *address)
{
    memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    if (path.size() >= sizeof address->sun_path)
        return 0;
    memcpy(address->sun_path, path.c_str(), path.size() + 1);
    return socklen_t(offsetof(struct sockaddr_un, sun_path) + path.size() + 1);
}

// rename() replaces anything but a directory; an empty one is removed first.
bool move_into_place(const std::string &from, int dir, const std::string &name)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (renameat(AT_FDCWD, from.c_str(), dir, name.c_str()) == 0)
            return true;
        if (errno != EISDIR && errno != ENOTEMPTY && errno != EEXIST)
            return false;
        if (unlinkat(dir, name.c_str(), AT_REMOVEDIR) != 0)
            return false;
    }
    return false;
}

bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

using Clock = std::chrono::steady_clock;

// Datagrams the receiver thread moves per wake-up, so one busy slot cannot
// keep it from the others.
constexpr size_t kReceiveBatch = 64;

const SocketRole kRoles[] = {kHolderSocket, kFileSocket};

// Throws away the datagram at the head of a socket.
void discard(int fd)
{
    kernel().recv(fd, nullptr, 0, MSG_TRUNC | MSG_DONTWAIT);
}

// Binds the holder's socket at the slot's abstract address, receiving its
// senders' credentials. ERROR_ALREADY_EXISTS while another holds the name.
DWORD claim_slot_name(const SlotPlace &place, UniqueFd *holder)
{
    UniqueFd fd = new_datagram_socket();
    int on = 1;
    if (!fd.valid() || setsockopt(fd.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0)
        return error_from_errno(errno);
    if (bind(fd.get(), reinterpret_cast<const sockaddr *>(&place.holder), place.holder_length) != 0)
        return errno == EADDRINUSE ? ERROR_ALREADY_EXISTS : error_from_errno(errno);
    *holder = std::move(fd);
    return NO_ERROR;
}

} // namespace

socklen_t descriptor_socket_address(int fd, struct sockaddr_un *address)
{
    *address = {};
    address->sun_family = AF_UNIX;
    std::string path = descriptor_path(fd);
    memcpy(address->sun_path, path.c_str(), path.size() + 1); // "/proc/self/fd/N" always fits
    return socklen_t(offsetof(struct sockaddr_un, sun_path) + path.size() + 1);
}

bool sender_credentials(struct msghdr *msg, struct ucred *sender)
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

DWORD check_slot_name(const std::string &slot)
{
    // The folded name is what the address holds, and may be longer.
    return fold_name_case(slot).size() > kMaxSlotName ? ERROR_FILENAME_EXCED_RANGE : NO_ERROR;
}

DWORD find_slot_place(const std::string &slot, MissingDir missing, SlotPlace *out)
{
    DWORD err = check_slot_name(slot);
    if (err == NO_ERROR)
        err = open_mailslot_dir(missing, &out->dir);
    if (err != NO_ERROR)
        return err;
    struct stat dir;
    if (kernel().fstat(out->dir.get(), &dir) != 0)
        return error_from_errno(errno);
    char machine[40];
    snprintf(machine, sizeof machine, "%llx:%llx/", (unsigned long long)dir.st_dev,
             (unsigned long long)dir.st_ino);
    std::string name = kAbstractPrefix + std::string(machine) + fold_name_case(slot);
    memset(&out->holder, 0, sizeof out->holder);
    out->holder.sun_family = AF_UNIX;
    memcpy(out->holder.sun_path + 1, name.data(), name.size()); // sun_path[0] 0: abstract
    out->holder_length = socklen_t(offsetof(struct sockaddr_un, sun_path) + 1 + name.size());
    return NO_ERROR;
}

UniqueFd new_datagram_socket()
{
    return UniqueFd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
}

// Bound in a private directory and made 0600 there, the socket is never
// reachable by another account before its owner allows it, and the rename
// puts it at its name in one step. The directory is reached through its
// descriptor, so the path fits a socket address whatever $W32_ROOT is.
DWORD FileEntry::place(const SlotPlace &where, const std::string &slot, FileEntry *out)
{
    std::string claim = descriptor_path(where.dir.get()) + "/.claim-XXXXXX";
    if (!mkdtemp(&claim[0]))
        return error_from_errno(errno);
    const std::string bound = claim + "/s";
    UniqueFd socket = new_datagram_socket();
    struct sockaddr_un address;
    socklen_t length = path_address(bound, &address);
    // Raw senders' accounts too, for the queue's fair shares.
    int on = 1;
    DWORD err = ERROR_FILENAME_EXCED_RANGE;
    if (length != 0)
        err = socket.valid() &&
                      setsockopt(socket.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on) == 0 &&
                      bind(socket.get(), reinterpret_cast<sockaddr *>(&address), length) == 0 &&
                      chmod(bound.c_str(), 0600) == 0
                  ? NO_ERROR
                  : error_from_errno(errno);
    if (err == NO_ERROR) {
        UniqueFd inode(open(bound.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        UniqueFd dir(fcntl(where.dir.get(), F_DUPFD_CLOEXEC, 0));
        if (!inode.valid() || !dir.valid())
            err = error_from_errno(errno);
        else if (!move_into_place(bound, dir.get(), slot))
            err = ERROR_ALREADY_EXISTS; // another's file, or a folder with something in it
        else {
            out->socket_ = std::move(socket);
            out->inode_ = std::move(inode);
            out->dir_ = std::move(dir);
            out->name_ = slot;
        }
    }
    unlink(bound.c_str()); // still there when it could not be moved
    rmdir(claim.c_str());
    return err;
}

DWORD FileEntry::open_to_everyone() const
{
    if (!inode_.valid())
        return NO_ERROR;
    // The inode itself, not whatever its name leads to now.
    if (chmod(descriptor_path(inode_.get()).c_str(), 0666) != 0)
        return error_from_errno(errno);
    return NO_ERROR;
}

void FileEntry::close()
{
    struct stat named, ours;
    // The directory is sticky: only root or its owner could have replaced
    // the name since, and then it is theirs.
    if (inode_.valid() && fstatat(dir_.get(), name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        fstat(inode_.get(), &ours) == 0 && same_file(named, ours))
        unlinkat(dir_.get(), name_.c_str(), 0);
    socket_.reset();
    inode_.reset();
    dir_.reset();
}

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

bool MailslotServer::accepted_locked(uid_t sender) const
{
    return !filtered_ || std::find(accepted_senders_.begin(), accepted_senders_.end(), sender) !=
                             accepted_senders_.end();
}

bool MailslotServer::may_write_locked(const struct ucred *sender) const
{
    if (!accepted_locked(sender ? sender->uid : kUnknownSender))
        return false;
    return open_to_everyone_ || (sender && (sender->uid == 0 || sender->uid == owner_));
}

// Whether a datagram of `size` bytes from `sender` may go in, once room is
// made by pushing out the newest message of the account holding the most.
MailslotServer::Room MailslotServer::make_room_locked(uid_t sender, size_t size)
{
    for (;;) {
        const bool full = queued_messages_ >= kQueueMaxMessages ||
                          (queued_messages_ > 0 && queued_bytes_ + size > kQueueMaxBytes);
        if (!full)
            return Room::Take;
        auto greedy = queues_.begin();
        for (auto it = queues_.begin(); it != queues_.end(); ++it)
            if (it->second.size() > greedy->second.size())
                greedy = it;
        auto own = queues_.find(sender);
        if (own != queues_.end() && own->second.size() >= greedy->second.size())
            return sender == owner_ || sender == 0 ? Room::Wait : Room::Drop;
        queued_messages_--;
        queued_bytes_ -= greedy->second.back().bytes.size();
        greedy->second.pop_back();
        if (greedy->second.empty()) {
            turns_.erase(std::find(turns_.begin(), turns_.end(), greedy->first));
            queues_.erase(greedy);
        }
    }
}

void MailslotServer::queue_locked(uid_t sender, Message message)
{
    std::deque<Message> &own = queues_[sender];
    if (own.empty())
        turns_.push_back(sender);
    queued_messages_++;
    queued_bytes_ += message.bytes.size();
    own.push_back(std::move(message));
    arrived_.notify_all();
}

const MailslotServer::Message &MailslotServer::head_locked() const
{
    return queues_.at(turns_.front()).front();
}

// Takes the head off; its account, if it has more, waits for its next turn.
void MailslotServer::pop_head_locked()
{
    const uid_t sender = turns_.front();
    std::deque<Message> &own = queues_[sender];
    queued_messages_--;
    queued_bytes_ -= own.front().bytes.size();
    own.pop_front();
    turns_.pop_front();
    if (own.empty())
        queues_.erase(sender);
    else
        turns_.push_back(sender);
}

// A datagram from a raw client: the whole of it is the message.
void MailslotServer::take_raw_datagram_locked(int fd, size_t size, uid_t sender)
{
    std::vector<char> message(size);
    ssize_t got = kernel().recv(fd, message.data(), message.size(), MSG_TRUNC | MSG_DONTWAIT);
    if (got >= 0 && size_t(got) == size) // else not the datagram peeked at: dropped
        queue_locked(sender, {std::move(message), size, false});
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
    CredentialsControl control;
    struct msghdr msg = {};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = parts;
    msg.msg_iovlen = 2;
    msg.msg_control = control.bytes;
    msg.msg_controllen = sizeof control.bytes;
    ssize_t got = kernel().recvmsg(fd, &msg, MSG_TRUNC | MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    struct ucred sender;
    bool known = got >= 0 && sender_credentials(&msg, &sender);
    if (got <= 0 || size_t(got) != size)
        return;
    const bool may_write = may_write_locked(known ? &sender : nullptr);
    const uid_t account = known ? sender.uid : kUnknownSender;
    const size_t message_size = message.size();
    switch (kind) {
    case kDirectMessage:
        if (may_write && message_size <= std::min(kMaxMessageBytes, accepted_size_))
            queue_locked(account, {std::move(message), message_size, false});
        return;
    case kBroadcastMessage:
        if (message_size <= std::min(kMaxBroadcastBytes, accepted_size_))
            queue_locked(account, {std::move(message), message_size, false});
        return;
    case kPermissionProbe: {
        // Answered only at an abstract address, which cannot be swapped for
        // another socket's the way a path can.
        bool abstract = msg.msg_namelen > offsetof(struct sockaddr_un, sun_path) + 1 &&
                        from.sun_path[0] == '\0';
        const char answer = may_write ? kMayWrite : kMayNotWrite;
        if (abstract)
            kernel().sendto(fd, &answer, 1, MSG_DONTWAIT | MSG_NOSIGNAL,
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
    const bool layer = role == kHolderSocket;
    for (; budget > 0; --budget) {
        // The datagram's real size, its sender and a layer datagram's kind,
        // without taking it yet.
        char kind = 0;
        struct iovec part = {&kind, 1};
        CredentialsControl control;
        struct msghdr msg = {};
        msg.msg_iov = &part;
        msg.msg_iovlen = layer ? 1 : 0;
        msg.msg_control = control.bytes;
        msg.msg_controllen = sizeof control.bytes;
        ssize_t size = kernel().recvmsg(fd, &msg, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
        if (size < 0 && errno == EINTR)
            continue;
        if (size < 0)
            return Pump::Empty;
        struct ucred sender;
        const uid_t account = sender_credentials(&msg, &sender) ? sender.uid : kUnknownSender;
        // A probe takes no room: it is answered at once.
        if (layer && size > 0 && kind == kPermissionProbe) {
            take_layer_datagram_locked(fd, size_t(size));
            continue;
        }
        if (!accepted_locked(account)) {
            discard(fd);
            continue;
        }
        const size_t message_size = layer && size > 0 ? size_t(size) - 1 : size_t(size);
        // Too large to keep, it is still counted in, so its reader hears of it.
        const bool too_large = !layer && message_size > accepted_size_;
        if (layer && message_size > kMaxRawDatagramBytes) {
            discard(fd);
            continue;
        }
        const Room room = make_room_locked(account, too_large ? 0 : message_size);
        if (room == Room::Wait)
            return Pump::Full;
        if (room == Room::Drop)
            discard(fd);
        else if (too_large) {
            discard(fd);
            queue_locked(account, {{}, std::min(message_size, kMaxRawDatagramBytes + 1), true});
        } else if (layer)
            take_layer_datagram_locked(fd, size_t(size));
        else
            take_raw_datagram_locked(fd, size_t(size), account);
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
    const Message &head = head_locked();
    if (head.size > size)
        return ERROR_INSUFFICIENT_BUFFER; // stays at the head
    // One too large to keep is gone once a buffer of its size asked for it.
    const bool too_large = head.too_large;
    if (!too_large && !head.bytes.empty())
        memcpy(buffer, head.bytes.data(), head.bytes.size());
    *done = too_large ? 0 : DWORD(head.size);
    pop_head_locked();
    for (SocketRole role : kRoles)
        listen_locked(role); // there is room now
    return too_large ? ERROR_INSUFFICIENT_BUFFER : NO_ERROR;
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
        if (queued_messages_ > 0)
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
        *next_size = queued_messages_ == 0 ? MAILSLOT_NO_MESSAGE : DWORD(head_locked().size);
    if (count)
        *count = DWORD(queued_messages_);
    if (read_timeout)
        *read_timeout = read_timeout_;
    return NO_ERROR;
}

DWORD MailslotServer::accept_only(const std::vector<uid_t> &senders)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_)
        return ERROR_INVALID_HANDLE;
    filtered_ = true;
    accepted_senders_ = senders;
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
    queues_.clear();
    turns_.clear();
    queued_messages_ = queued_bytes_ = 0;
    arrived_.notify_all(); // wakes blocked readers
}

} // namespace w32

using namespace w32;

extern "C" HANDLE CreateMailslotA(LPCSTR lpName, DWORD nMaxMessageSize, DWORD lReadTimeout,
                                  LPSECURITY_ATTRIBUTES lpSecurityAttributes)
{
    (void)lpSecurityAttributes;
    FileName name;
    DWORD err = parse_file_name(lpName, &name);
    // A mailslot is made on this machine only, never by broadcast.
    if (err == NO_ERROR && !name.host.empty())
        err = ERROR_BAD_NETPATH;
    if (err == NO_ERROR && (name.kind != NameKind::Mailslot || name.broadcast))
        err = ERROR_INVALID_NAME;
    SlotPlace place;
    if (err == NO_ERROR)
        err = find_slot_place(name.slot, MissingDir::Create, &place);
    UniqueFd holder;
    if (err == NO_ERROR)
        err = claim_slot_name(place, &holder);
    FileEntry entry;
    if (err == NO_ERROR)
        err = FileEntry::place(place, name.slot, &entry);
    std::shared_ptr<MailslotServer> slot;
    if (err == NO_ERROR) {
        slot = std::make_shared<MailslotServer>(std::move(holder), std::move(entry),
                                                nMaxMessageSize, lReadTimeout);
        err = slot->start_receiving();
        if (err != NO_ERROR)
            slot->close();
    }
    HANDLE handle = add_opened(err, slot);
    if (handle != INVALID_HANDLE_VALUE)
        set_error(NO_ERROR);
    return handle;
}

DWORD w32::mailslot_accept_only(HANDLE handle, const std::vector<uid_t> &senders)
{
    std::shared_ptr<HandleObject> object = handle_get(handle);
    if (!object)
        return ERROR_INVALID_HANDLE;
    auto *slot = dynamic_cast<MailslotServer *>(object.get());
    return slot ? slot->accept_only(senders) : ERROR_INVALID_FUNCTION;
}

extern "C" BOOL GetMailslotInfo(HANDLE hMailslot, LPDWORD lpMaxMessageSize, LPDWORD lpNextSize,
                                LPDWORD lpMessageCount, LPDWORD lpReadTimeout)
{
    std::shared_ptr<HandleObject> object = handle_get(hMailslot);
    if (!object)
        return fail(ERROR_INVALID_HANDLE);
    auto *slot = dynamic_cast<MailslotServer *>(object.get());
    if (!slot)
        return fail(ERROR_INVALID_FUNCTION);
    DWORD err = slot->info(lpMaxMessageSize, lpNextSize, lpMessageCount, lpReadTimeout);
    return err == NO_ERROR ? succeed() : fail(err);
}

// Only what the program needs: a null DACL on a mailslot, which opens it to
// every local account. Any other security change is not supported.
extern "C" DWORD SetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE ObjectType,
                                 SECURITY_INFORMATION SecurityInfo, PSID psidOwner,
                                 PSID psidGroup, PACL pDacl, PACL pSacl)
{
    DWORD err = NO_ERROR;
    std::shared_ptr<HandleObject> object = handle_get(handle);
    auto *slot = dynamic_cast<MailslotServer *>(object.get());
    if (!object)
        err = ERROR_INVALID_HANDLE;
    else if (!slot || ObjectType != SE_KERNEL_OBJECT || SecurityInfo != DACL_SECURITY_INFORMATION ||
             psidOwner || psidGroup || pDacl || pSacl)
        err = ERROR_NOT_SUPPORTED;
    else
        err = slot->open_to_everyone();
    set_error(err);
    return err;
}
