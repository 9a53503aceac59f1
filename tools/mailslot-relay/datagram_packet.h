// Datagram-service packets (UDP port 138) that carry a mailslot write: the
// datagram header, the source and destination names, and the SMB
// transaction "write mailslot" with the slot's name and the message.
#ifndef MAILSLOT_RELAY_DATAGRAM_PACKET_H
#define MAILSLOT_RELAY_DATAGRAM_PACKET_H

#include <stdint.h>

#include <string>
#include <vector>

#include "netbios_name.h"
#include "wire.h"

namespace relay {

constexpr uint16_t kDatagramPort = 138;

enum DatagramType : uint8_t {
    kDirectUnique = 0x10,
    kDirectGroup = 0x11,
    kBroadcast = 0x12,
};

constexpr uint8_t kFlagFirst = 0x02; // FIRST set, MORE clear, B-node
constexpr uint8_t kFlagMore = 0x01;

// The most a mailslot message carries between machines.
constexpr size_t kMaxMailslotData = 424;

struct MailslotDatagram {
    uint8_t type = kDirectUnique;
    uint8_t flags = kFlagFirst;
    uint16_t id = 0;
    uint32_t source_ip = 0; // host byte order
    uint16_t source_port = kDatagramPort;
    NetbiosName source;
    NetbiosName destination;
    std::string slot; // X of "\MAILSLOT\X"
    std::vector<uint8_t> data;

    bool operator==(const MailslotDatagram &o) const;
};

// Parses a datagram carrying a mailslot write. Lengths and offsets that
// reach past the packet are malformed; fragments are Parse::Fragment; other
// message types, other SMB commands and transactions in parts are
// unsupported.
Parse parse_mailslot_datagram(const uint8_t *data, size_t size, MailslotDatagram *out);

// The datagram's bytes; a 2-byte message to "$Channel2$" is 174 of them.
std::vector<uint8_t> build_mailslot_datagram(const MailslotDatagram &datagram);

} // namespace relay

#endif
