// The socket is bound in a private directory, made 0600 there, and only
// then linked to its name, so the name never points at a socket another
// account could reach before the owner allows it, and link() refusing an
// existing name makes the claim atomic.
//
// A name that exists is probed: a socket that accepts a connection is live
// and keeps its name. A refused connection means its process is gone; the
// stale file is removed under an exclusive lock on the mailslot directory,
// so two claimants can never both remove and retake the same name.
#include "mailslot_claim.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "last_error.h"

namespace w32 {
namespace {

constexpr int kClaimAttempts = 5;
constexpr int kLockWaitMs = 2000;
constexpr const char *kSocketLeaf = "s";

enum class Probe { Live, Stale, Gone };

Probe probe(const std::string &path)
{
    UniqueFd fd = new_datagram_socket();
    if (!fd.valid())
        return Probe::Live; // cannot tell: leave the name alone
    struct sockaddr_un address;
    socklen_t length = socket_address(path, &address);
    int rc;
    do {
        rc = connect(fd.get(), reinterpret_cast<sockaddr *>(&address), length);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0)
        return Probe::Live;
    if (errno == ECONNREFUSED)
        return Probe::Stale;
    if (errno == ENOENT)
        return Probe::Gone;
    return Probe::Live; // e.g. another account's slot we may not reach
}

bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Holds the mailslot directory's lock, waiting a bounded time for it.
class DirLock {
public:
    explicit DirLock(int dir) : dir_(dir)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLockWaitMs);
        while (flock(dir_, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR)
                return;
            if (std::chrono::steady_clock::now() >= deadline)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        held_ = true;
    }
    ~DirLock()
    {
        if (held_)
            flock(dir_, LOCK_UN);
    }
    bool held() const { return held_; }

private:
    int dir_;
    bool held_ = false;
};

// The name exists: NO_ERROR when it was stale and is removed (or has gone)
// so the caller can try again, else why it cannot be taken.
DWORD free_stale_name(const SlotLocation &where, const std::string &slot)
{
    Probe first = probe(where.path);
    if (first != Probe::Stale)
        return first == Probe::Gone ? NO_ERROR : ERROR_ALREADY_EXISTS;
    DirLock lock(where.dir.get());
    if (!lock.held())
        return ERROR_BUSY;
    struct stat before;
    if (fstatat(where.dir.get(), slot.c_str(), &before, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? NO_ERROR : error_from_errno(errno);
    // Only a socket is ours to remove; anything else keeps the name.
    if (!S_ISSOCK(before.st_mode))
        return ERROR_ALREADY_EXISTS;
    Probe again = probe(where.path);
    if (again == Probe::Gone)
        return NO_ERROR;
    if (again == Probe::Live)
        return ERROR_ALREADY_EXISTS;
    struct stat now;
    if (fstatat(where.dir.get(), slot.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? NO_ERROR : error_from_errno(errno);
    if (!same_file(before, now))
        return ERROR_ALREADY_EXISTS;
    if (unlinkat(where.dir.get(), slot.c_str(), 0) != 0 && errno != ENOENT)
        return error_from_errno(errno);
    return NO_ERROR;
}

// The private directory the socket is bound in before it gets its name.
class ClaimDir {
public:
    explicit ClaimDir(const SlotLocation &where)
        : path_(where.dir_path + "/.claim-XXXXXX"), socket_path_(path_ + "/" + kSocketLeaf)
    {
    }
    ~ClaimDir()
    {
        if (!made_)
            return;
        unlink(socket_path_.c_str());
        rmdir(path_.c_str());
    }
    DWORD make()
    {
        if (!fits_socket_address(socket_path_))
            return ERROR_FILENAME_EXCED_RANGE;
        if (!mkdtemp(&path_[0]))
            return error_from_errno(errno);
        made_ = true;
        socket_path_ = path_ + "/" + kSocketLeaf;
        return NO_ERROR;
    }
    const std::string &socket_path() const { return socket_path_; }

private:
    std::string path_;
    std::string socket_path_;
    bool made_ = false;
};

DWORD bind_private_socket(const ClaimDir &claim, UniqueFd *socket, struct stat *identity)
{
    UniqueFd fd = new_datagram_socket();
    if (!fd.valid())
        return error_from_errno(errno);
    struct sockaddr_un address;
    socklen_t length = socket_address(claim.socket_path(), &address);
    if (bind(fd.get(), reinterpret_cast<sockaddr *>(&address), length) != 0)
        return error_from_errno(errno);
    if (chmod(claim.socket_path().c_str(), 0600) != 0)
        return error_from_errno(errno);
    if (lstat(claim.socket_path().c_str(), identity) != 0)
        return error_from_errno(errno);
    *socket = std::move(fd);
    return NO_ERROR;
}

} // namespace

DWORD claim_slot(const SlotLocation &where, const std::string &slot, UniqueFd *socket,
                 struct stat *identity)
{
    ClaimDir claim(where);
    DWORD err = claim.make();
    if (err != NO_ERROR)
        return err;
    UniqueFd fd;
    err = bind_private_socket(claim, &fd, identity);
    if (err != NO_ERROR)
        return err;
    for (int attempt = 0; attempt < kClaimAttempts; ++attempt) {
        if (link(claim.socket_path().c_str(), where.path.c_str()) == 0) {
            *socket = std::move(fd);
            return NO_ERROR;
        }
        if (errno != EEXIST)
            return error_from_errno(errno);
        err = free_stale_name(where, slot);
        if (err != NO_ERROR)
            return err;
    }
    return ERROR_ALREADY_EXISTS;
}

} // namespace w32
