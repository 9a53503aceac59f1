// What the relay's name tests share: a transport that records every name
// packet sent, parsed, and the LAN interface and names they are sent on.
#ifndef TESTS_RELAY_NAME_RECORDER_H
#define TESTS_RELAY_NAME_RECORDER_H

#include <gtest/gtest.h>

#include <vector>

#include "name_service.h"

namespace relay {

struct Sent {
    uint32_t to;
    uint16_t port;
    NamePacket packet;
};

class Recorder : public NameTransport {
public:
    void send_name_packet(const Interface &, uint32_t to, uint16_t port,
                          const std::vector<uint8_t> &bytes) override
    {
        Sent s{to, port, {}};
        EXPECT_EQ(parse_name_packet(bytes.data(), bytes.size(), &s.packet), Parse::Ok);
        sent.push_back(s);
        raw.push_back(bytes);
    }
    std::vector<Sent> sent;
    std::vector<std::vector<uint8_t>> raw;
};

inline NetbiosName Name(const char *text, uint8_t suffix = 0)
{
    NetbiosName name;
    make_name(text, suffix, &name);
    return name;
}

// veth0, 10.77.0.1/24.
inline Interface Lan()
{
    Interface lan;
    lan.name = "veth0";
    lan.index = 2;
    lan.address = 0x0a4d0001;
    lan.netmask = 0xffffff00;
    lan.broadcast = 0x0a4d00ff;
    return lan;
}

} // namespace relay

#endif
