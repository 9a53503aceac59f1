#include "file_path.h"

#include <ctype.h>
#include <errno.h>
#include <sys/stat.h>

#include "last_error.h"
#include "machine_dirs.h"

namespace w32 {
namespace {

// Why `component` under `dir` could not be entered as a directory.
DWORD walk_error(int dir, const std::string &component, int err)
{
    if (err == ENOENT)
        return ERROR_PATH_NOT_FOUND;
    if (err == ELOOP || err == ENOTDIR) {
        struct stat st;
        if (fstatat(dir, component.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
            return ERROR_ACCESS_DENIED;
        return ERROR_PATH_NOT_FOUND;
    }
    return error_from_errno(err);
}

DWORD resolve_drive_path(const FileName &name, bool may_create, FilePath *out)
{
    UniqueFd dir;
    char letter = char(tolower(static_cast<unsigned char>(name.drive)));
    DWORD err = open_drive_dir(letter, may_create ? MissingDir::Create : MissingDir::Fail, &dir);
    if (err != NO_ERROR)
        return err;
    out->confined = true;
    if (name.components.empty()) {
        out->drive_root = true;
        out->leaf = ".";
        out->dir = std::move(dir);
        return NO_ERROR;
    }
    for (size_t i = 0; i + 1 < name.components.size(); ++i) {
        const std::string &component = name.components[i];
        UniqueFd next(openat(dir.get(), component.c_str(),
                             O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.valid())
            return walk_error(dir.get(), component, errno);
        dir = std::move(next);
    }
    out->leaf = name.components.back();
    out->dir = std::move(dir);
    return NO_ERROR;
}

} // namespace

DWORD resolve_file_path(const FileName &name, bool may_create, FilePath *out)
{
    *out = FilePath();
    if (name.kind == NameKind::Drive)
        return resolve_drive_path(name, may_create, out);
    out->leaf = name.native;
    return NO_ERROR;
}

DWORD missing_leaf_error(const FilePath &path)
{
    if (path.confined)
        return ERROR_FILE_NOT_FOUND;
    std::string parent = ".";
    size_t slash = path.leaf.find_last_of('/');
    if (slash == 0)
        parent = "/";
    else if (slash != std::string::npos)
        parent = path.leaf.substr(0, slash);
    struct stat st;
    if (stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return ERROR_PATH_NOT_FOUND;
    return ERROR_FILE_NOT_FOUND;
}

} // namespace w32
