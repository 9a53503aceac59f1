// relay_request: one request to the local mailslot-relay over its hand-off
// socket, as the tests make a relay resolve names and send datagrams.
//
//   W32_ROOT=DIR relay_request HEADER [DATA]
//
// The request is HEADER, then a newline and DATA when DATA is given
// ("send unique HOSTA SLOT" "hello"). Prints the reply; exits 0 for "ok...",
// 1 for any other reply, 2 when the relay cannot be reached.
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include "handoff.h"
#include "platform/posix/machine_root.h"

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: relay_request HEADER [DATA]\n");
        return 2;
    }
    std::string request = argv[1];
    if (argc == 3)
        request += std::string("\n") + argv[2];

    std::string path = relay::handoff_socket_path(w32::machine_root_path());
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size())) {
        fprintf(stderr, "relay_request: cannot reach the relay at %s: %s\n", path.c_str(),
                strerror(errno));
        return 2;
    }
    struct pollfd waiter = {fd, POLLIN, 0};
    char reply[256];
    ssize_t got = poll(&waiter, 1, 10000) == 1 ? recv(fd, reply, sizeof reply - 1, 0) : -1;
    close(fd);
    if (got <= 0) {
        fprintf(stderr, "relay_request: no reply from the relay\n");
        return 2;
    }
    reply[got] = '\0';
    printf("%s\n", reply);
    return strncmp(reply, "ok", 2) == 0 ? 0 : 1;
}
