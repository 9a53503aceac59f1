// The supervising process's control socket, a Unix stream socket inside the
// service's private directory.
#ifndef SVCCTL_UNIX_SOCKET_H
#define SVCCTL_UNIX_SOCKET_H

#include <string>

#include "unique_fd.h"

// Binds and listens at path (non-blocking, close-on-exec).
UniqueFd ListenAt(const std::string &path);

// Connects to path; empty when nobody listens there, as after a crash.
UniqueFd ConnectTo(const std::string &path);

// Whether the peer runs as this process's account or as root.
bool PeerIsTrusted(int fd);

#endif
