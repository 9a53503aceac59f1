#include "machine_dirs.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "last_error.h"

namespace w32 {
namespace {

enum class Sharing { Private, StickyShared };

bool owner_is_trusted(const struct stat &st)
{
    return st.st_uid == geteuid() || st.st_uid == 0;
}

bool mode_is_safe(const struct stat &st, Sharing sharing)
{
    bool writable_by_others = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    if (!writable_by_others)
        return true;
    return sharing == Sharing::StickyShared && (st.st_mode & S_ISVTX) != 0;
}

int open_dir_nofollow(int parent, const char *name)
{
    return openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Opens `name` under `parent` as a directory the layer may trust, creating it
// with `mode` when missing if asked to. A link, a non-directory, a foreign
// owner or an unsafe mode give ERROR_ACCESS_DENIED.
DWORD open_checked_dir(int parent, const char *name, mode_t mode, Sharing sharing,
                       UniqueFd *out, MissingDir missing = MissingDir::Create)
{
    bool created = false;
    UniqueFd fd(open_dir_nofollow(parent, name));
    if (!fd.valid() && errno == ENOENT && missing == MissingDir::Create) {
        if (mkdirat(parent, name, mode) == 0)
            created = true;
        else if (errno != EEXIST)
            return errno == ENOENT ? ERROR_PATH_NOT_FOUND : error_from_errno(errno);
        fd.reset(open_dir_nofollow(parent, name));
    }
    if (!fd.valid()) {
        if (errno == ELOOP || errno == ENOTDIR)
            return ERROR_ACCESS_DENIED;
        return errno == ENOENT ? ERROR_PATH_NOT_FOUND : error_from_errno(errno);
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0)
        return error_from_errno(errno);
    if (!S_ISDIR(st.st_mode) || !owner_is_trusted(st))
        return ERROR_ACCESS_DENIED;
    // mkdir's mode passed through the umask: set the exact one we chose.
    if (created && st.st_uid == geteuid() && (st.st_mode & 07777) != mode) {
        if (fchmod(fd.get(), mode) != 0)
            return error_from_errno(errno);
        st.st_mode = (st.st_mode & ~07777) | mode;
    }
    if (!mode_is_safe(st, sharing))
        return ERROR_ACCESS_DENIED;
    *out = std::move(fd);
    return NO_ERROR;
}

DWORD open_root(const std::string &path, UniqueFd *root, MissingDir missing = MissingDir::Create)
{
    return open_checked_dir(AT_FDCWD, path.c_str(), 0755, Sharing::Private, root, missing);
}

} // namespace

std::string machine_root_path()
{
    const char *root = getenv("W32_ROOT");
    std::string path = (root && *root) ? root : kDefaultMachineRoot;
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

DWORD open_drive_dir(char letter, MissingDir missing, UniqueFd *dir)
{
    UniqueFd root;
    DWORD err = open_root(machine_root_path(), &root, missing);
    if (err != NO_ERROR)
        return err;
    char name[] = "drive_?";
    name[6] = letter;
    return open_checked_dir(root.get(), name, 0755, Sharing::Private, dir, missing);
}

DWORD open_mailslot_dir(MissingDir missing, UniqueFd *dir)
{
    UniqueFd root;
    DWORD err = open_root(machine_root_path(), &root, missing);
    if (err != NO_ERROR)
        return err;
    return open_checked_dir(root.get(), "mailslot", 01777, Sharing::StickyShared, dir, missing);
}

} // namespace w32
