#include "slots.h"

#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "wait.h"

int ConnectDatagram(const std::string &path)
{
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (fd < 0 || path.size() >= sizeof address.sun_path) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
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
