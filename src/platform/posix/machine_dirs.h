// The directory that stands for the machine ($W32_ROOT, /tmp/w32root by
// default) and the directories the layer keeps in it: drive_<letter> for
// each drive and mailslot/ for the mailslot names.
//
// Each is checked without following links: it must be a real directory owned
// by the caller or by root, and not writable by group or others (mailslot/
// excepted, which is sticky and open to all like /tmp). Anything else fails
// with ERROR_ACCESS_DENIED, so another account cannot redirect what the layer
// writes. Only a call that may create a file or a mailslot makes a missing
// one; a lookup creates nothing.
#ifndef PLATFORM_POSIX_MACHINE_DIRS_H
#define PLATFORM_POSIX_MACHINE_DIRS_H

#include <string>

#include "platform/platform.h"
#include "unique_fd.h"

namespace w32 {

// The machine root when $W32_ROOT is unset or empty.
constexpr char kDefaultMachineRoot[] = "/tmp/w32root";

// $W32_ROOT as set now (read at each call), or the default.
std::string machine_root_path();

// Whether a missing directory (and the root above it) is made, or reported
// as ERROR_PATH_NOT_FOUND.
enum class MissingDir { Create, Fail };

// Opens the checked directory of drive `letter` (lower case) into `dir`.
DWORD open_drive_dir(char letter, MissingDir missing, UniqueFd *dir);

// Opens the checked mailslot directory into `dir`.
DWORD open_mailslot_dir(MissingDir missing, UniqueFd *dir);

} // namespace w32

#endif
