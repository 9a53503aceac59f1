#include "slots.h"

#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "wait.h"

namespace {

// A socket of `type` joined to the socket file at path by join: bind or
// connect. -1 on failure, a path too long for an address included.
int SocketAt(const std::string &path, int type, int (*join)(int, const sockaddr *, socklen_t))
{
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return -1;
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    if (fd >= 0 && join(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace

int BindSocket(const std::string &path, int type)
{
    return SocketAt(path, type, bind);
}

int ConnectDatagram(const std::string &path)
{
    return SocketAt(path, SOCK_DGRAM, connect);
}

bool SendDatagram(const std::string &path, const std::string &bytes)
{
    int fd = ConnectDatagram(path);
    if (fd < 0)
        return false;
    bool sent = send(fd, bytes.data(), bytes.size(), 0) == ssize_t(bytes.size());
    close(fd);
    return sent;
}

bool WaitForMessage(HANDLE slot, std::string *message, double timeoutSeconds)
{
    DWORD count = 0;
    if (!WaitUntil([&] { return GetMailslotInfo(slot, NULL, NULL, &count, NULL) && count > 0; },
                   timeoutSeconds, 5))
        return false;
    char buffer[2048];
    DWORD cbRead = 0;
    if (!ReadFile(slot, buffer, sizeof buffer, &cbRead, NULL))
        return false;
    message->assign(buffer, cbRead);
    return true;
}
