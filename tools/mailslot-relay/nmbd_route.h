// The relay's route beside Samba's nmbd on the same host: nmbd keeps UDP
// 137 and 138 and hands the relay, over its local packet socket
// ("unexpected" in its socket directory), every datagram it does not keep
// for itself. The relay asks nmbd which names it holds with a node status
// query from a port of its own, and sends with ports of its own too.
#ifndef MAILSLOT_RELAY_NMBD_ROUTE_H
#define MAILSLOT_RELAY_NMBD_ROUTE_H

#include <functional>
#include <string>
#include <vector>

#include "interfaces.h"
#include "nmbd_packets.h"
#include "platform/posix/unique_fd.h"

namespace relay {

class NmbdRoute {
public:
    static constexpr const char *kDefaultSocketDir = "/run/samba/nmbd";
    static constexpr int kAcceptWaitMs = 2000;

    enum class Connect {
        Ok,
        Absent,  // no socket there: nmbd is not running, or keeps it elsewhere
        Refused, // the socket is left over from an nmbd that has stopped
        Failed,  // there, but it did not accept the request
    };

    // Connects to DIR/unexpected and asks for every datagram nmbd passes
    // on, waiting for nmbd to accept; otherwise `error` says why not.
    Connect connect(const std::string &dir, std::string *error);

    static std::string socket_path(const std::string &dir) { return dir + "/unexpected"; }

    // -1 when not connected.
    int fd() const { return socket_.get(); }

    // Takes what nmbd has sent, calling `take` for each whole frame. False,
    // with the connection closed and `why` said, once nmbd has closed it or
    // sent what cannot be its.
    bool read(const std::function<void(const NmbdFrame &)> &take, std::string *why);

    void close();

private:
    w32::UniqueFd socket_;
    NmbdStream stream_;
};

// Asks nmbd on this host, by a node status query to port 137 of each of
// `interfaces`' own addresses, which names it holds. False with the reason
// in `error` when it does not answer.
bool ask_nmbd_names(const std::vector<Interface> &interfaces, NmbdNames *out,
                    std::string *error);

} // namespace relay

#endif
