// The POSIX layer's private header: what its objects share among themselves.
//
// Every Windows call of the layer is an extern "C" function in the file of
// the object it serves (errors.cpp, handles.cpp, names.cpp, files.cpp,
// mailslot.cpp, mailslot_writer.cpp, service_control.cpp, sync.cpp,
// threads.cpp); the
// objects behind handles derive from HandleObject, and every errno is turned
// into a Windows error by error_from_errno alone.
#ifndef PLATFORM_POSIX_INTERNAL_H
#define PLATFORM_POSIX_INTERNAL_H

#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/kernel_calls.h"
#include "platform/posix/layer_errors.h"
#include "platform/posix/trust.h"
#include "platform/posix/unique_fd.h"
#include "platform/posix/windows_names.h"

namespace w32 {

// ---- Errors (errors.cpp) ----

// Sets the thread's last error (SetLastError without the C linkage).
void set_error(DWORD code);

// Sets the last error and returns FALSE, for the BOOL functions' failures.
BOOL fail(DWORD code);

// Sets the last error to 0 and returns TRUE.
BOOL succeed();

// ---- Kernel calls (kernel_calls.cpp) ----

// The table every file and mailslot call goes through: the real calls unless
// a test has replaced them.
const KernelCalls &kernel();

// ---- Handles (handles.cpp) ----

// What a HANDLE stands for: an open file, a mailslot or a mailslot writer.
//
// Each call on a handle holds a shared_ptr to its object for the call's
// duration, so a CloseHandle from another thread never frees what a call
// still uses: close() only withdraws the object (wakes waiters, gives up
// names). Its descriptors are closed when the last user lets go, or in
// close() itself where every call reaches them under the object's lock.
class HandleObject {
public:
    virtual ~HandleObject() = default;

    // Each returns NO_ERROR or the Windows error code of the failure.
    virtual DWORD read(void *buffer, DWORD size, DWORD *done)
    {
        (void)buffer, (void)size, (void)done;
        return ERROR_ACCESS_DENIED;
    }
    virtual DWORD write(const void *data, DWORD size, DWORD *done)
    {
        (void)data, (void)size, (void)done;
        return ERROR_ACCESS_DENIED;
    }
    // Writes at the end of a disk file as it is at that moment, as the
    // kernel appends: nobody's bytes are written over.
    virtual DWORD append(const void *data, DWORD size, DWORD *done)
    {
        (void)data, (void)size, (void)done;
        return ERROR_INVALID_PARAMETER;
    }
    virtual DWORD seek(int64_t distance, DWORD method, bool wide, int64_t *position)
    {
        (void)distance, (void)method, (void)wide, (void)position;
        return ERROR_INVALID_FUNCTION;
    }
    // Makes the file end at the handle's position.
    virtual DWORD set_end() { return ERROR_INVALID_FUNCTION; }
    virtual DWORD file_type() const { return FILE_TYPE_UNKNOWN; }
    virtual DWORD size(int64_t *size)
    {
        (void)size;
        return ERROR_INVALID_FUNCTION;
    }
    // A DeviceIoControl code; *returned: the bytes of out it filled.
    virtual DWORD control(DWORD code, const void *in, DWORD in_size, void *out, DWORD out_size,
                          DWORD *returned)
    {
        (void)code, (void)in, (void)in_size, (void)out, (void)out_size, (void)returned;
        return ERROR_INVALID_FUNCTION;
    }

    // For WaitForSingleObject: waits until the object is signaled, at most
    // ms milliseconds (INFINITE: no limit); WAIT_OBJECT_0 or WAIT_TIMEOUT,
    // or WAIT_FAILED for an object that cannot be waited for.
    virtual DWORD wait(DWORD ms)
    {
        (void)ms;
        return WAIT_FAILED;
    }

    // Called once, by CloseHandle, after the handle left the table.
    virtual void close() {}
};

// The process's handles: a mutex-guarded table whose handle values carry a
// generation, so a closed or stale HANDLE is recognised, never reused by
// mistake.

// Registers an object; INVALID_HANDLE_VALUE when the table is full.
HANDLE handle_add(std::shared_ptr<HandleObject> object);

// The object behind a handle, or null for a closed or unknown handle.
std::shared_ptr<HandleObject> handle_get(HANDLE handle);

// Removes a handle from the table and returns its object (null if none).
std::shared_ptr<HandleObject> handle_remove(HANDLE handle);

// What a call that opens an object returns: a handle for it, or, when `err`
// says the open failed or the table is full, INVALID_HANDLE_VALUE with the
// last error set (an object that found no room is closed). On success the
// last error is left for the caller to set.
HANDLE add_opened(DWORD err, const std::shared_ptr<HandleObject> &object);

// ---- Names (names.cpp) ----

// The error for a leaf found missing (ENOENT): ERROR_PATH_NOT_FOUND when
// its directory is missing too, else ERROR_FILE_NOT_FOUND.
DWORD missing_leaf_error(const FilePath &path);

// Whether the layer trusts what `st` describes by its owner: the caller or
// root, as judge_entry (trust.cpp) has it.
bool owner_is_trusted(const struct stat &st);

// Opens the checked mailslot folder of the machine root into `dir`. The
// machine root and its folders are checked without following links: each
// must be a real directory owned by the caller or by root, and not writable
// by group or others (the mailslot folder excepted, which is sticky and open
// to all like /tmp); anything else fails with ERROR_ACCESS_DENIED, so another
// account cannot redirect what the layer writes.
DWORD open_mailslot_dir(MissingDir missing, UniqueFd *dir);

// Opens the relay's folder of the machine root, checked by the same rule
// (not writable by others), without creating anything.
DWORD open_relay_dir(UniqueFd *dir);

// ---- Mailslots (mailslot.cpp, mailslot_receiver.cpp, mailslot_writer.cpp,
// relay_link.cpp) ----
//
// A slot's name belongs to a datagram socket bound in Linux's abstract
// namespace at "w32-mailslot/<dev>:<ino>/<name>", where <dev>:<ino> (hex)
// identify the machine's mailslot folder and <name> is the slot's name
// with A-Z in lower case, as Windows compares mailslot names. Binding it is
// the claim: the kernel refuses a name that is bound and frees it when the
// holder's last descriptor goes, so nothing is ever left over to reclaim.
//
// Layer writers send to that socket. Each datagram starts with a one-byte
// kind, stripped on receipt, and the holder judges it by the sender's
// credentials (SO_PASSCRED): a direct message is taken from root, from the
// slot's owner, or from anyone once the slot is open to everyone; a
// broadcast message of at most kMaxBroadcastBytes from anyone, as a network
// broadcast is; a permission probe is answered at once, yes or no, so a
// direct open learns whether it may write. Anything else is dropped.
//
// For raw socket clients the holder also binds a socket at
// $W32_ROOT/mailslot/NAME, with the name's case as created, mode 0600 (0666
// once open to everyone): its datagrams carry no header, and the file's mode
// says who may send.
//
// One receiver thread per process moves what arrives into each slot's
// bounded in-memory queue, so writers never depend on the reader's polls.

// The largest message a layer writer sends; a larger WriteFile fails.
constexpr size_t kMaxMessageBytes = 64 * 1024;

// The largest message a broadcast ("\\*\mailslot\...") or a write to
// another machine carries.
constexpr size_t kMaxBroadcastBytes = 424;

// The largest datagram a slot takes from a raw client. An unprivileged
// sender cannot even send that much (its send buffer is bounded by the
// kernel); a larger datagram can only come from root forcing its buffer, and
// is discarded.
constexpr size_t kMaxRawDatagramBytes = 1024 * 1024;

// What a slot holds in memory, shared fairly among the accounts that send:
// at either bound a datagram from an account holding less than the most
// pushes out that account's newest message, and one from the account
// holding the most is dropped, so a flood never costs another account its
// message. Only the slot's own account (or root) is made to wait instead:
// the slot then stops taking datagrams, whose kernel queue fills and makes
// writers wait. A single message larger than the byte bound still goes into
// an empty queue. Accounts take turns at the head of the queue.
constexpr size_t kQueueMaxMessages = 1024;
constexpr size_t kQueueMaxBytes = 1024 * 1024;

// The account a datagram without credentials is counted under.
constexpr uid_t kUnknownSender = uid_t(-1);

// How long a direct WriteFile, or a direct open's probe, waits on a full slot.
constexpr int kWriteTimeoutMs = 10 * 1000;

// The kind byte that starts each datagram a layer writer sends to a holder,
// and the holder's answer to a probe.
enum DatagramKind : char { kDirectMessage = 'D', kBroadcastMessage = 'B', kPermissionProbe = 'P' };
constexpr char kMayWrite = 'Y';
constexpr char kMayNotWrite = 'N';

// Room for a layer datagram's control data: the sender's credentials
// (SCM_CREDENTIALS) and nothing more, aligned as control messages must be.
union CredentialsControl {
    struct cmsghdr align;
    char bytes[CMSG_SPACE(sizeof(struct ucred))];
};

// Whether the flock locks on fd's file are all held by processes of
// accounts that may not write to it (and at least one is): such a lock
// keeps no writer out.
bool locked_by_readers_only(int fd);

// The address of the socket file open (O_PATH) as `fd`, through its
// descriptor_path(), so a send or connect reaches that very socket; returns
// the address's length.
socklen_t descriptor_socket_address(int fd, struct sockaddr_un *address);

// The credentials the kernel attached to a received datagram, if any.
bool sender_credentials(struct msghdr *msg, struct ucred *sender);

// ERROR_FILENAME_EXCED_RANGE when `slot` cannot fit the holder's address.
DWORD check_slot_name(const std::string &slot);

// A new datagram socket; invalid (errno set) on failure.
UniqueFd new_datagram_socket();

// The socket a slot keeps at its file name for raw clients, when it could
// put one there.
class FileEntry {
public:
    // Binds a socket in a private directory, makes it 0600 and renames it to
    // NAME in place of whatever stands there, if this account may remove
    // that (root, the directory's owner or the leftover's).
    // ERROR_ALREADY_EXISTS when something it may not replace stands there:
    // the name is then not wholly the holder's.
    static DWORD place(const SlotPlace &where, const std::string &slot, FileEntry *out);

    int socket() const { return socket_.get(); }
    // Lets every account send to it (mode 0666).
    DWORD open_to_everyone() const;
    // Removes the name if it is still this entry's, and closes the socket.
    void close();

private:
    UniqueFd socket_;
    UniqueFd inode_; // O_PATH: the socket file itself, wherever its name went
    UniqueFd dir_;
    std::string name_;
};

// A slot's two sockets, as the receiver knows them.
enum SocketRole { kHolderSocket = 0, kFileSocket = 1 };

class MailslotServer;
struct Receiver;

// The process's receiver thread's watch over one slot's sockets. Each is
// watched one-shot: the slot re-arms it after taking what waited, or, when
// its queue was full, once a read has made room.
class ReceiverWatch {
public:
    DWORD start(const std::shared_ptr<MailslotServer> &slot, const int sockets[2]);
    void listen(SocketRole role, int socket) const;
    void stop(const int sockets[2]);

private:
    Receiver *receiver_ = nullptr;
    uint64_t id_ = 0;
};

// A mailslot, as CreateMailslotA makes it.
class MailslotServer : public HandleObject, public std::enable_shared_from_this<MailslotServer> {
public:
    MailslotServer(UniqueFd holder, FileEntry entry, DWORD max_message, DWORD read_timeout);

    // Puts the slot under the receiver thread; once, right after it is made.
    DWORD start_receiving();

    DWORD read(void *buffer, DWORD size, DWORD *done) override;
    void close() override;

    DWORD info(DWORD *max_message, DWORD *next_size, DWORD *count, DWORD *read_timeout);

    // Lets every local account write to the mailslot (a null DACL).
    DWORD open_to_everyone();

    // The receiver thread's call: socket `role` has datagrams waiting.
    void receive(SocketRole role);

    // From now on, messages from other accounts are dropped as they arrive.
    DWORD accept_only(const std::vector<uid_t> &senders);

private:
    enum class Pump { Empty, Full, More };
    enum class Room { Take, Drop, Wait };
    // A queued message; a datagram too large to keep is remembered by its
    // size alone, and every read of it fails with ERROR_INSUFFICIENT_BUFFER.
    struct Message {
        std::vector<char> bytes;
        size_t size;
        bool too_large;
    };

    Pump pump_locked(SocketRole role, size_t budget);
    void pump_all_locked();
    void listen_locked(SocketRole role);
    void take_raw_datagram_locked(int fd, size_t size, uid_t sender);
    void take_layer_datagram_locked(int fd, size_t size);
    bool accepted_locked(uid_t sender) const;
    bool may_write_locked(const struct ucred *sender) const;
    Room make_room_locked(uid_t sender, size_t size);
    void queue_locked(uid_t sender, Message message);
    const Message &head_locked() const;
    void pop_head_locked();
    DWORD take_locked(void *buffer, DWORD size, DWORD *done);

    const uid_t owner_;
    const DWORD max_message_; // as asked; 0 for no limit of its own
    const DWORD read_timeout_;
    const size_t accepted_size_;

    std::mutex mutex_;
    std::condition_variable arrived_;
    UniqueFd holder_;
    FileEntry entry_;
    ReceiverWatch watch_;
    bool listening_[2] = {false, false};
    std::map<uid_t, std::deque<Message>> queues_; // by sending account
    std::deque<uid_t> turns_;                     // accounts with messages, next first
    size_t queued_messages_ = 0;
    size_t queued_bytes_ = 0;
    bool filtered_ = false;
    std::vector<uid_t> accepted_senders_;
    bool open_to_everyone_ = false;
    bool closed_ = false;
};

// A writer's connection to the host's mailslot-relay, which carries writes
// to other machines (requests: tools/mailslot-relay/handoff.h). The relay is
// trusted as the machine's folders are: $W32_ROOT/mailslot-relay must be a
// real directory of root or the caller that others cannot write to, and the
// socket in it a socket of root or the caller, reached without following a
// link. Anything else counts as no relay, so no other account can plant a
// socket that takes a writer's messages.
class RelayLink {
public:
    // How long a reply may take: a name the relay does not know yet is
    // resolved by broadcast queries, which take under a second.
    static constexpr int kReplyTimeoutMs = 5 * 1000;

    // Connects when not connected; false when no trusted relay listens.
    bool connect();
    // Sends a request and waits for its reply; false when the relay is gone,
    // silent or the link closed.
    bool ask(const std::string &request, std::string *reply);
    // Sends a request without waiting; its reply is read and dropped later.
    // False when it could not be sent at once.
    bool post(const std::string &request);
    // Ends the link and wakes a call waiting on it.
    void close();

private:
    bool connect_locked();
    bool send_locked(const std::string &request, bool wait);
    bool receive_locked(std::string *reply, bool wait);

    std::mutex mutex_;
    UniqueFd socket_;
    size_t unanswered_ = 0;
    std::atomic<bool> closed_{false};
};

// Opens a writer handle on a parsed mailslot name. A direct open with no
// live holder fails with ERROR_FILE_NOT_FOUND, one the holder refuses with
// ERROR_ACCESS_DENIED, one whose holder does not answer within
// kWriteTimeoutMs (it is stopped, or full) with ERROR_SEM_TIMEOUT; a
// broadcast one always works. One on another machine or workgroup asks the
// relay to resolve the name and fails with ERROR_BAD_NETPATH when no relay
// answers or the name is unknown. None creates anything.
DWORD open_mailslot_writer(const FileName &name, DWORD access, std::shared_ptr<HandleObject> *out);

} // namespace w32

#endif
