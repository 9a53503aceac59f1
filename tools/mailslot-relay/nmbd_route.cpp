#include "nmbd_route.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include "name_packet.h"
#include "udp_port.h"

namespace relay {

NmbdRoute::Connect NmbdRoute::connect(const std::string &dir, std::string *error)
{
    close();
    const std::string path = socket_path(dir);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        *error = path + " is too long a socket path";
        return Connect::Failed;
    }
    memcpy(address.sun_path, path.c_str(), path.size());
    w32::UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    // A listener whose backlog is full would hold the connect, and the relay, for good.
    struct timeval limit = {kAcceptWaitMs / 1000, 0};
    if (!fd.valid() || setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0 ||
        ::connect(fd.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        int why = errno;
        *error = path + ": " + strerror(why);
        return why == ENOENT ? Connect::Absent
                             : why == ECONNREFUSED ? Connect::Refused : Connect::Failed;
    }
    const std::vector<uint8_t> request = nmbd_datagram_request();
    struct pollfd ready = {fd.get(), POLLIN, 0};
    uint8_t accepted = 1;
    if (send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size()) ||
        poll(&ready, 1, kAcceptWaitMs) != 1 || recv(fd.get(), &accepted, 1, 0) != 1 ||
        accepted != 0) {
        *error = path + " did not accept the request for datagrams";
        return Connect::Failed;
    }
    stream_ = NmbdStream();
    stream_.feed(&accepted, 1);
    socket_ = std::move(fd);
    return Connect::Ok;
}

void NmbdRoute::close()
{
    socket_.reset();
}

bool NmbdRoute::read(const std::function<void(const NmbdFrame &)> &take, std::string *why)
{
    uint8_t buffer[4096];
    for (;;) {
        ssize_t got = recv(socket_.get(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        if (got <= 0) {
            *why = got == 0 ? "nmbd closed its socket" : std::string("reading nmbd's socket: ") +
                                                             strerror(errno);
            close();
            return false;
        }
        stream_.feed(buffer, size_t(got));
        NmbdFrame frame;
        NmbdStream::Next next;
        while ((next = stream_.next(&frame)) == NmbdStream::Next::Frame)
            take(frame);
        if (next == NmbdStream::Next::Broken) {
            *why = "nmbd's socket sent what is not a packet frame";
            close();
            return false;
        }
    }
}

namespace {

bool own_address(const std::vector<Interface> &interfaces, uint32_t address)
{
    for (const Interface &iface : interfaces)
        if (iface.address == address)
            return true;
    return false;
}

} // namespace

bool ask_nmbd_names(const std::vector<Interface> &interfaces, NmbdNames *out, std::string *error)
{
    UdpPort port;
    if (!port.open(0, error))
        return false;
    NamePacket query;
    query.id = uint16_t(getpid() ^ 0x5a5a);
    query.has_question = true;
    query.question = any_name();
    query.question_type = kTypeNbstat;
    const std::vector<uint8_t> bytes = build_name_packet(query);
    uint8_t answer[2048];
    for (int attempt = 0; attempt < 3; ++attempt) {
        for (const Interface &iface : interfaces)
            port.send(iface, iface.address, kNamePort, bytes);
        struct pollfd ready = {port.fd(), POLLIN, 0};
        while (poll(&ready, 1, 500) == 1) {
            Arrival arrival;
            NodeStatus status;
            while (port.receive(answer, sizeof answer, &arrival))
                if (own_address(interfaces, arrival.from) &&
                    parse_node_status(answer, arrival.size, &status) == Parse::Ok &&
                    status.id == query.id) {
                    *out = nmbd_names_from(status);
                    if (!out->unique.empty())
                        return true;
                }
        }
    }
    *error = "nmbd did not answer a node status query on this host's addresses";
    return false;
}

} // namespace relay
