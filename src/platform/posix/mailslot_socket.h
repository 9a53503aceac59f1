// The socket behind a mailslot name: a Unix-domain datagram socket bound at
// $W32_ROOT/mailslot/NAME, one datagram per message.
#ifndef PLATFORM_POSIX_MAILSLOT_SOCKET_H
#define PLATFORM_POSIX_MAILSLOT_SOCKET_H

#include <sys/socket.h>
#include <sys/un.h>

#include <string>

#include "platform/platform.h"
#include "unique_fd.h"

namespace w32 {

struct SlotLocation {
    UniqueFd dir;         // the checked mailslot directory
    std::string dir_path; // its path
    std::string path;     // the socket's path: dir_path/NAME
};

// Finds where mailslot `slot` lives now; ERROR_FILENAME_EXCED_RANGE when
// the path does not fit a socket address.
DWORD locate_slot(const std::string &slot, SlotLocation *out);

// Whether `path` fits a socket address.
bool fits_socket_address(const std::string &path);

// A socket address for a path that fits.
socklen_t socket_address(const std::string &path, struct sockaddr_un *address);

// A new datagram socket; invalid (errno set) on failure.
UniqueFd new_datagram_socket();

} // namespace w32

#endif
