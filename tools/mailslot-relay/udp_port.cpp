#include "udp_port.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>

#include "port_holder.h"

namespace relay {

bool UdpPort::open(uint16_t port, std::string *error)
{
    socket_.reset(socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    int on = 1;
    if (!socket_.valid() ||
        setsockopt(socket_.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
        setsockopt(socket_.get(), IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0 ||
        setsockopt(socket_.get(), SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) != 0) {
        *error = "cannot make a UDP socket: " + std::string(strerror(errno));
        return false;
    }
    // Room for a burst: a flood from one host should not crowd out another's
    // request before the relay has read it. Beyond the system's limit only
    // with privilege, which the relay mostly has; else the limit it is.
    const int buffer = kReceiveBufferBytes;
    if (setsockopt(socket_.get(), SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer) != 0)
        setsockopt(socket_.get(), SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    if (bind(socket_.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) == 0)
        return true;
    std::string which = "UDP port " + std::to_string(port);
    if (errno == EACCES || errno == EPERM)
        *error = which + " needs root or CAP_NET_BIND_SERVICE: run it as root or grant the "
                         "capability";
    else if (errno == EADDRINUSE)
        *error = which + " is in use" + describe_udp_port_holder(port);
    else
        *error = "cannot bind " + which + ": " + strerror(errno);
    return false;
}

bool UdpPort::receive(uint8_t *buffer, size_t capacity, Arrival *arrival)
{
    struct sockaddr_in from = {};
    struct iovec iov = {buffer, capacity};
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(struct in_pktinfo)) +
                                         CMSG_SPACE(sizeof(uint32_t))];
    struct msghdr message = {};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t got;
    do {
        got = recvmsg(socket_.get(), &message, MSG_DONTWAIT);
    } while (got < 0 && errno == EINTR);
    if (got < 0)
        return false;
    arrival->size = (message.msg_flags & MSG_TRUNC) ? 0 : size_t(got);
    arrival->from = ntohl(from.sin_addr.s_addr);
    arrival->port = ntohs(from.sin_port);
    arrival->interface_index = 0;
    arrival->kernel_drops = 0;
    for (struct cmsghdr *c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            struct in_pktinfo info;
            memcpy(&info, CMSG_DATA(c), sizeof info);
            arrival->interface_index = info.ipi_ifindex;
        } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
            uint32_t overflows;
            memcpy(&overflows, CMSG_DATA(c), sizeof overflows);
            arrival->kernel_drops = overflows - overflows_; // the count wraps at 2^32
            overflows_ = overflows;
        }
    }
    return true;
}

bool UdpPort::send(const Interface &iface, uint32_t to, uint16_t port,
                   const std::vector<uint8_t> &packet)
{
    struct sockaddr_in destination = {};
    destination.sin_family = AF_INET;
    destination.sin_addr.s_addr = htonl(to);
    destination.sin_port = htons(port);
    struct iovec iov = {const_cast<uint8_t *>(packet.data()), packet.size()};
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(struct in_pktinfo))] = {};
    struct msghdr message = {};
    message.msg_name = &destination;
    message.msg_namelen = sizeof destination;
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    struct cmsghdr *c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(struct in_pktinfo));
    struct in_pktinfo info = {};
    info.ipi_ifindex = iface.index;
    info.ipi_spec_dst.s_addr = htonl(iface.address);
    memcpy(CMSG_DATA(c), &info, sizeof info);
    ssize_t sent;
    do {
        sent = sendmsg(socket_.get(), &message, MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent == ssize_t(packet.size());
}

} // namespace relay
