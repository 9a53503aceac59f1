// A UDP socket on one of the NetBIOS ports, bound to every address, that
// tells on which interface each packet arrived and how many the kernel
// dropped before it for want of buffer, and sends from a chosen interface's
// address.
#ifndef MAILSLOT_RELAY_UDP_PORT_H
#define MAILSLOT_RELAY_UDP_PORT_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "interfaces.h"
#include "platform/posix/unique_fd.h"

namespace relay {

struct Arrival {
    size_t size = 0;
    uint32_t from = 0; // host byte order
    uint16_t port = 0;
    int interface_index = 0;
    uint32_t kernel_drops = 0; // packets the kernel dropped since the last arrival
};

class UdpPort {
public:
    static constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;

    // Binds `port`; false with a one-line reason in `error`.
    bool open(uint16_t port, std::string *error);

    int fd() const { return socket_.get(); }

    // Takes one waiting packet into `buffer`; false when none is waiting.
    // A packet longer than the buffer is taken and reported with size 0.
    bool receive(uint8_t *buffer, size_t capacity, Arrival *arrival);

    // Sends `packet` to `to`:`port` out of `iface`, from its address.
    bool send(const Interface &iface, uint32_t to, uint16_t port,
              const std::vector<uint8_t> &packet);

private:
    w32::UniqueFd socket_;
    uint32_t overflows_ = 0; // the kernel's running count of drops (SO_RXQ_OVFL)
};

} // namespace relay

#endif
