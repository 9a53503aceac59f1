// A slot's name: its holder's abstract address, the claim on it, and the
// socket file kept at the name for raw clients.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "last_error.h"
#include "mailslot_object.h"

namespace w32 {
namespace {

constexpr char kAbstractPrefix[] = "w32-mailslot/";

// The abstract address holds a leading NUL, the prefix, the directory's
// device and inode in at most 16 hex digits each with ':' and '/', and the
// name, so every name up to this length fits on every machine.
constexpr size_t kMaxSlotName =
    sizeof(sockaddr_un::sun_path) - 1 - (sizeof kAbstractPrefix - 1) - (16 + 1 + 16 + 1);

std::string lower_case(std::string name)
{
    for (char &c : name)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return name;
}

std::string descriptor_path(int fd)
{
    return "/proc/self/fd/" + std::to_string(fd);
}

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

} // namespace

DWORD check_slot_name(const std::string &slot)
{
    return slot.size() > kMaxSlotName ? ERROR_FILENAME_EXCED_RANGE : NO_ERROR;
}

DWORD find_slot_place(const std::string &slot, MissingDir missing, SlotPlace *out)
{
    DWORD err = check_slot_name(slot);
    if (err == NO_ERROR)
        err = open_mailslot_dir(missing, &out->dir);
    if (err != NO_ERROR)
        return err;
    struct stat dir;
    if (fstat(out->dir.get(), &dir) != 0)
        return error_from_errno(errno);
    char machine[40];
    snprintf(machine, sizeof machine, "%llx:%llx/", (unsigned long long)dir.st_dev,
             (unsigned long long)dir.st_ino);
    std::string name = kAbstractPrefix + std::string(machine) + lower_case(slot);
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

// Bound in a private directory and made 0600 there, the socket is never
// reachable by another account before its owner allows it, and the rename
// puts it at its name in one step. The directory is reached through its
// descriptor, so the path fits a socket address whatever $W32_ROOT is.
FileEntry FileEntry::place(const SlotPlace &where, const std::string &slot)
{
    FileEntry entry;
    std::string claim = descriptor_path(where.dir.get()) + "/.claim-XXXXXX";
    if (!mkdtemp(&claim[0]))
        return entry;
    const std::string bound = claim + "/s";
    UniqueFd socket = new_datagram_socket();
    struct sockaddr_un address;
    socklen_t length = path_address(bound, &address);
    if (socket.valid() && length != 0 &&
        bind(socket.get(), reinterpret_cast<sockaddr *>(&address), length) == 0 &&
        chmod(bound.c_str(), 0600) == 0) {
        UniqueFd inode(open(bound.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        UniqueFd dir(fcntl(where.dir.get(), F_DUPFD_CLOEXEC, 0));
        if (inode.valid() && dir.valid() && move_into_place(bound, dir.get(), slot)) {
            entry.socket_ = std::move(socket);
            entry.inode_ = std::move(inode);
            entry.dir_ = std::move(dir);
            entry.name_ = slot;
        }
    }
    unlink(bound.c_str()); // still there when it could not be moved
    rmdir(claim.c_str());
    return entry;
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

} // namespace w32
