// Taking a mailslot name for a new mailslot, atomically and machine-wide.
#ifndef PLATFORM_POSIX_MAILSLOT_CLAIM_H
#define PLATFORM_POSIX_MAILSLOT_CLAIM_H

#include <sys/stat.h>

#include <string>

#include "mailslot_socket.h"

namespace w32 {

// Binds a datagram socket, writable by its owner only, at `where.path`.
// A live holder of the name gives ERROR_ALREADY_EXISTS; a socket file left
// by a dead process is reclaimed. `identity` receives the socket file's
// device and inode, by which the mailslot later recognises its own name.
DWORD claim_slot(const SlotLocation &where, const std::string &slot, UniqueFd *socket,
                 struct stat *identity);

} // namespace w32

#endif
