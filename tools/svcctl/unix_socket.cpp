#include "unix_socket.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "error.h"

namespace {

sockaddr_un AddressOf(const std::string &path)
{
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        Fail(kErrorInvalidName, "socket path too long: " + path);
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return addr;
}

} // namespace

UniqueFd ListenAt(const std::string &path)
{
    sockaddr_un addr = AddressOf(path);
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd)
        FailErrno("cannot create the control socket");
    if (bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        FailErrno("cannot bind the control socket");
    if (listen(fd.get(), 16) != 0)
        FailErrno("cannot listen on the control socket");
    return fd;
}

UniqueFd ConnectTo(const std::string &path)
{
    sockaddr_un addr = AddressOf(path);
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd)
        FailErrno("cannot create a socket");
    int rc;
    do
        rc = connect(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        if (errno == ECONNREFUSED || errno == ENOENT)
            return UniqueFd();
        FailErrno("cannot reach the service's supervising process");
    }
    return fd;
}

bool PeerIsTrusted(int fd)
{
    ucred cred = {};
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0)
        return false;
    return cred.uid == 0 || cred.uid == geteuid();
}
