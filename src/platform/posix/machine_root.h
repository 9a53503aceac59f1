// The directory that stands for the machine, and the folders the layer and
// the relay keep in it.
#ifndef PLATFORM_POSIX_MACHINE_ROOT_H
#define PLATFORM_POSIX_MACHINE_ROOT_H

#include <string>

namespace w32 {

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

// The folders the layer keeps in the machine root: drive_<letter> for each
// drive, and the mailslot names' folder.
constexpr char kDriveDirPrefix[] = "drive_";
constexpr char kMailslotDir[] = "mailslot";

// Where the host's mailslot-relay listens for local writers (a
// SOCK_SEQPACKET socket): $W32_ROOT/mailslot-relay/socket. Its requests are
// in tools/mailslot-relay/handoff.h.
constexpr char kRelayDir[] = "mailslot-relay";
constexpr char kRelaySocket[] = "socket";

} // namespace w32

#endif
