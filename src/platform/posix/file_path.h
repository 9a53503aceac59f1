// Where a drive path or a native path leads on this machine.
//
// A drive path is walked from drive_x one component at a time without
// following links, so a link planted anywhere under the drive is refused;
// a native path is left to the kernel, with the caller's own rights.
#ifndef PLATFORM_POSIX_FILE_PATH_H
#define PLATFORM_POSIX_FILE_PATH_H

#include <fcntl.h>

#include <string>

#include "file_name.h"
#include "unique_fd.h"

namespace w32 {

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

// The error for a leaf found missing (ENOENT): ERROR_PATH_NOT_FOUND when
// its directory is missing too, else ERROR_FILE_NOT_FOUND.
DWORD missing_leaf_error(const FilePath &path);

} // namespace w32

#endif
