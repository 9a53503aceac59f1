// Who holds a UDP port on this host, to say so when the relay cannot bind it.
#ifndef MAILSLOT_RELAY_PORT_HOLDER_H
#define MAILSLOT_RELAY_PORT_HOLDER_H

#include <stdint.h>

#include <string>

namespace relay {

// " by PROGRAM (pid N)" for the process holding IPv4 UDP `port`, with a hint
// when it is Samba's nmbd; "" when that cannot be told.
std::string describe_udp_port_holder(uint16_t port);

} // namespace relay

#endif
