// What the project's own Linux tools, tests and fuzzers share with the POSIX
// layer: the descriptor owner, the machine root and its folders, the errno
// translation, how the layer reads a Windows name, the service channel's wire
// layout, and the hook through which a test replaces the layer's kernel calls.
// The layer's own objects are private (internal.h).
#ifndef PLATFORM_POSIX_LAYER_SHARED_H
#define PLATFORM_POSIX_LAYER_SHARED_H

#include <fcntl.h>
#include <stdint.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/platform.h"

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

// The machine root when $W32_ROOT is unset or empty.
constexpr char kDefaultMachineRoot[] = "/tmp/w32root";

// The directory that stands for the machine: $W32_ROOT as set now (read at
// each call), kDefaultMachineRoot when it is unset or empty. A relative root is made
// absolute against the working directory (as it is given when that cannot be
// found); empty and "." components are dropped, so there is no trailing '/'.
std::string machine_root_path();

// path made absolute against the working directory, empty and "." components
// dropped (".." is kept: only the file system knows what it leads to); false
// (errno set) when a relative path meets a working directory that cannot be
// found.
bool absolute_path(const std::string &path, std::string *out);

// The one rule by which the layer and its tools trust an entry of the file
// system not to be changed behind their back: it belongs to root or to the
// trusted account, and no other account may write to it. A folder others may
// write to passes only where `sharing` allows it and it has the sticky bit,
// as /tmp has: no one may then remove or rename another's entry in it, and
// the entry is judged in turn. A symbolic link is judged by its owner alone.
enum class Sharing { Private, StickyShared };

struct TrustVerdict {
    enum Reason { Trusted, ForeignOwner, GroupWritable, OthersWritable };
    Reason reason = Trusted;
    uid_t owner = 0;  // the entry's owner and group, for the caller's message
    gid_t group = 0;
    mode_t mode = 0;  // its permission bits
    bool trusted() const { return reason == Trusted; }
};

TrustVerdict judge_entry(const struct stat &st, uid_t trusted, Sharing sharing);

// Opens the file at `path` (made absolute) with O_PATH, judging every step
// on the way for `trusted` with sticky shared folders allowed: / and each
// folder below it, each symbolic link met and, in its place, what it leads
// to. True with the descriptor of the very file judged. False with errno set
// when the path leads nowhere (ENOENT, ENOTDIR, ELOOP, ...), or with errno
// EACCES and `untrusted` naming the first step another account could change
// (its real path, links resolved) and why.
struct UntrustedStep {
    std::string path;
    TrustVerdict verdict;
};
bool open_trusted_path(const std::string &path, uid_t trusted, UniqueFd *out,
                       UntrustedStep *untrusted);

// `name` with case folded as names of services and mailslots compare: each
// UTF-8 character mapped to upper and then to lower case by the C library's
// Unicode tables, so "café" and "CAFÉ" fold alike. Bytes that are no
// UTF-8 character and characters without a case mapping stay as they are;
// folding a folded name changes nothing.
std::string fold_name_case(const std::string &name);

// Whether two names are the same name, case aside.
bool same_name(const std::string &a, const std::string &b);

// The folders the layer keeps in the machine root: drive_<letter> for each
// drive, and the mailslot names' folder.
constexpr char kDriveDirPrefix[] = "drive_";
constexpr char kMailslotDir[] = "mailslot";

// Where the host's mailslot-relay listens for local writers (a
// SOCK_SEQPACKET socket): $W32_ROOT/mailslot-relay/socket. Its requests are
// in tools/mailslot-relay/handoff.h.
constexpr char kRelayDir[] = "mailslot-relay";
constexpr char kRelaySocket[] = "socket";

// The Windows error code for an errno value: the one translation the layer
// reports through GetLastError.
DWORD error_from_errno(int err);

// How the layer understands a name given to CreateFileA and friends:
//  - a drive path "X:\a\b" (or "X:/a/b", "\\?\X:\a\b") stands for
//    $W32_ROOT/drive_x/a/b; "." and empty components are dropped and ".."
//    never climbs above the drive root;
//  - a mailslot name "\\.\mailslot\NAME", "\\HOST\mailslot\NAME" (HOST this
//    machine, or another machine or workgroup, which only the relay reaches)
//    or "\\*\mailslot\NAME" (broadcast);
//  - anything else is a native path, used as it is.
enum class NameKind { Native, Drive, Mailslot };

struct FileName {
    NameKind kind = NameKind::Native;
    std::string native;                  // Native: the path as given
    char drive = 0;                      // Drive: the letter, as given
    std::vector<std::string> components; // Drive: normalised components
    bool trailing_separator = false;     // Drive: the name ended with one
    std::string slot;                    // Mailslot: NAME
    bool broadcast = false;              // Mailslot: "\\*\"
    std::string host;                    // Mailslot: another machine or workgroup
};

// Parses `name`; NO_ERROR or ERROR_PATH_NOT_FOUND (empty),
// ERROR_INVALID_NAME, ERROR_BAD_NETPATH (anything but a mailslot on another
// machine) or ERROR_FILE_NOT_FOUND (a device other than mailslots).
DWORD parse_file_name(const char *name, FileName *out);

// Where a drive path or a native path leads on this machine. A drive path is
// walked from drive_x one component at a time without following links, so a
// link planted anywhere under the drive is refused; a native path is left to
// the kernel, with the caller's own rights.
struct FilePath {
    UniqueFd dir;            // drive paths: the directory that holds `leaf`
    std::string leaf;        // the last component (native: the whole path)
    bool confined = false;   // a drive path: open `leaf` with O_NOFOLLOW
    bool drive_root = false; // the drive itself, a directory

    int dir_fd() const { return dir.valid() ? dir.get() : AT_FDCWD; }
};

// Resolves a parsed drive or native name. `may_create` is for the calls that
// may create a file: only they make a missing drive's directory.
DWORD resolve_file_path(const FileName &name, bool may_create, FilePath *out);

// Whether a missing directory (and the root above it) is made, or reported
// as ERROR_PATH_NOT_FOUND.
enum class MissingDir { Create, Fail };

// Where a mailslot lives on this machine: the checked mailslot folder and the
// abstract address of the name's holder.
struct SlotPlace {
    UniqueFd dir;
    struct sockaddr_un holder;
    socklen_t holder_length;
};

// Finds where mailslot `slot` lives; with MissingDir::Fail a missing folder
// gives ERROR_PATH_NOT_FOUND and nothing is created.
DWORD find_slot_place(const std::string &slot, MissingDir missing, SlotPlace *out);

// Puts `size` bytes into this machine's slot `slot` (in any case) as a
// broadcast message, as "\\*\mailslot\SLOT" does here, but never hands them to
// the relay: the relay's own way of delivering what came from the network.
// It never waits: NO_ERROR once a holder (or, without one, a raw socket at
// the name) took the message; ERROR_BUSY when the slot's socket is full for
// now (its reader is slow or has stopped); ERROR_FILE_NOT_FOUND when there
// is no such slot; ERROR_BAD_NETPATH over 424 bytes.
DWORD deliver_local_broadcast(const std::string &slot, const void *data, size_t size);

// What a mailslot on Linux knows and one on Windows cannot: the account of
// each sender and of the holder of each name.
//
// The account holding this machine's slot `slot` ("\\.\mailslot\NAME"),
// as the kernel names the sender of the holder's answer: NO_ERROR, or
// ERROR_FILE_NOT_FOUND when nobody holds it, ERROR_SEM_TIMEOUT when the
// holder does not answer. Nothing is written to the slot.
DWORD mailslot_holder_account(const char *slot, uid_t *account);

// Makes the mailslot `handle` (from CreateMailslotA) drop, as they arrive,
// messages from every account but `senders`.
DWORD mailslot_accept_only(HANDLE handle, const std::vector<uid_t> &senders);

// Makes this process's direct opens, direct writes and holder queries wait
// at most `ms` (never more than their usual ten seconds) on a full slot.
void mailslot_limit_waits(DWORD ms);

// The kernel calls through which the layer's files and mailslots reach their
// data and metadata. The layer makes them through one table, the real calls
// by default, so a test can make the kernel fail where it cannot be made to
// for real (a short write, EIO in the middle of a read).
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

// The channel between the supervising process and the service program: one
// end of a SOCK_SEQPACKET socket pair, its number in W32_SERVICE_CHANNEL_FD.
// Every message is eight 32-bit words in host order, a kind and seven values.
// The program's side is the layer's service control; the manager's side is
// svcctl.
constexpr const char kChannelVariable[] = "W32_SERVICE_CHANNEL_FD";

enum ChannelKind : uint32_t {
    kChannelStatus = 1,       // program: the seven fields of a status report
    kChannelControlDone = 2,  // program: code, result (0 when the handler ran)
    kChannelMainReturned = 3, // program: main function returned without stopping
    kChannelControl = 4,      // manager: code
};

struct ChannelMessage {
    uint32_t kind;
    uint32_t value[7];
};

#endif
