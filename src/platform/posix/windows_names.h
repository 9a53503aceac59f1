// How the layer reads a Windows name (a drive path, a mailslot name) and
// where it leads on this machine; names compared with case folded.
#ifndef PLATFORM_POSIX_WINDOWS_NAMES_H
#define PLATFORM_POSIX_WINDOWS_NAMES_H

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/unique_fd.h"

namespace w32 {

// `name` with case folded as names of services and mailslots compare: each
// UTF-8 character mapped to upper and then to lower case by the C library's
// Unicode tables, so "café" and "CAFÉ" fold alike. Bytes that are no
// UTF-8 character and characters without a case mapping stay as they are;
// folding a folded name changes nothing.
std::string fold_name_case(const std::string &name);

// Whether two names are the same name, case aside.
bool same_name(const std::string &a, const std::string &b);

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

} // namespace w32

#endif
