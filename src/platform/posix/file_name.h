// How the layer understands a name given to CreateFileA and friends:
//  - a drive path "X:\a\b" (or "X:/a/b", "\\?\X:\a\b") stands for
//    $W32_ROOT/drive_x/a/b; "." and empty components are dropped and ".."
//    never climbs above the drive root;
//  - a mailslot name "\\.\mailslot\NAME", "\\HOST\mailslot\NAME" (HOST this
//    machine) or "\\*\mailslot\NAME" (broadcast);
//  - anything else is a native path, used as it is.
#ifndef PLATFORM_POSIX_FILE_NAME_H
#define PLATFORM_POSIX_FILE_NAME_H

#include <string>
#include <vector>

#include "platform/platform.h"

namespace w32 {

enum class NameKind { Native, Drive, Mailslot };

struct FileName {
    NameKind kind = NameKind::Native;
    std::string native;                  // Native: the path as given
    char drive = 0;                      // Drive: the letter, as given
    std::vector<std::string> components; // Drive: normalised components
    bool trailing_separator = false;     // Drive: the name ended with one
    std::string slot;                    // Mailslot: NAME
    bool broadcast = false;              // Mailslot: "\\*\"
};

// Parses `name`; NO_ERROR or ERROR_PATH_NOT_FOUND (empty),
// ERROR_INVALID_NAME, ERROR_BAD_NETPATH (another machine) or
// ERROR_FILE_NOT_FOUND (a device other than mailslots).
DWORD parse_file_name(const char *name, FileName *out);

} // namespace w32

#endif
