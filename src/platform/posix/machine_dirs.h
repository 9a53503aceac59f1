// The directory that stands for the machine ($W32_ROOT, /tmp/w32root by
// default) and the directories the layer keeps in it: drive_<letter> for
// each drive and mailslot/ for the mailslot names.
//
// Each is checked without following links: it must be a real directory owned
// by the caller or by root, and not writable by group or others (mailslot/
// excepted, which is sticky and open to all like /tmp). Anything else fails
// with ERROR_ACCESS_DENIED, so another account cannot redirect what the layer
// writes.
#ifndef PLATFORM_POSIX_MACHINE_DIRS_H
#define PLATFORM_POSIX_MACHINE_DIRS_H

#include <string>

#include "platform/platform.h"
#include "unique_fd.h"

namespace w32 {

// $W32_ROOT as set now (read at each call), or the default.
std::string machine_root_path();

// Opens the checked directory of drive `letter` (lower case) into `dir`. Only
// a call that may create a file passes `create`, which makes the root and the
// drive's directory when missing; a mere lookup creates nothing, and a missing
// one gives ERROR_PATH_NOT_FOUND.
DWORD open_drive_dir(char letter, bool create, UniqueFd *dir);

// Opens the checked mailslot directory into `dir` and gives its path,
// creating it and the root when missing.
DWORD open_mailslot_dir(UniqueFd *dir, std::string *path);

} // namespace w32

#endif
