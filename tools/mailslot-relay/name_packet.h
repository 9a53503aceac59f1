// Name-service packets (UDP port 137): queries, registrations, releases,
// refreshes and their responses, as a broadcast node meets them.
#ifndef MAILSLOT_RELAY_NAME_PACKET_H
#define MAILSLOT_RELAY_NAME_PACKET_H

#include <stdint.h>

#include <vector>

#include "netbios_name.h"
#include "wire.h"

namespace relay {

constexpr uint16_t kNamePort = 137;

enum NameOpcode : uint8_t {
    kOpQuery = 0,
    kOpRegistration = 5,
    kOpRelease = 6,
    kOpWack = 7,
    kOpRefresh = 8,
    kOpRefreshAlt = 9, // the refresh code some nodes send
    kOpMultihomed = 15,
};

constexpr uint16_t kTypeNb = 0x0020;
constexpr uint16_t kTypeNbstat = 0x0021;
constexpr uint16_t kClassIn = 0x0001;

constexpr uint8_t kRcodeOk = 0;
constexpr uint8_t kRcodeActive = 6; // the name is held by another node

constexpr uint16_t kNbGroup = 0x8000; // NB_FLAGS: a group name
constexpr uint16_t kNameActive = 0x0400; // a node status entry's flags: the name is held

// One NB resource record: a name and the address that holds it.
struct NameRecord {
    NetbiosName name;
    uint32_t ttl = 0;
    uint16_t nb_flags = 0;
    uint32_t address = 0; // host byte order
    bool operator==(const NameRecord &o) const
    {
        return name == o.name && ttl == o.ttl && nb_flags == o.nb_flags && address == o.address;
    }
};

struct NamePacket {
    uint16_t id = 0;
    bool response = false;
    uint8_t opcode = kOpQuery;
    bool authoritative = false;
    bool truncated = false;
    bool recursion_desired = false;
    bool recursion_available = false;
    bool broadcast = false;
    uint8_t rcode = kRcodeOk;

    bool has_question = false;
    NetbiosName question;
    uint16_t question_type = kTypeNb;

    // The first NB record: the answer of a response, the additional record of
    // a registration, release or refresh.
    bool has_record = false;
    NameRecord record;

    bool operator==(const NamePacket &o) const;
};

// Parses a name-service packet. Names may point back at the question's name
// (the compression every node uses for the additional record); any other
// pointer, a scope, or a count or length past the packet is malformed.
// Records of other types are skipped; only the first NB record is kept.
Parse parse_name_packet(const uint8_t *data, size_t size, NamePacket *out);

// The packet's bytes: the record goes in the answer section of a response
// and the additional section of a request.
std::vector<uint8_t> build_name_packet(const NamePacket &packet);

// A node status response: the names a node holds, each with its flags
// (kNbGroup, kNameActive), then its statistics, of which only the six-byte
// unit id (an adapter address; zeros allowed) means anything here.
struct NodeStatusEntry {
    NetbiosName name;
    uint16_t flags = 0;
    bool operator==(const NodeStatusEntry &o) const { return name == o.name && flags == o.flags; }
};
struct NodeStatus {
    uint16_t id = 0;
    NetbiosName question; // the name the query asked with, most often "*"
    std::vector<NodeStatusEntry> names;
    bool operator==(const NodeStatus &o) const
    {
        return id == o.id && question == o.question && names == o.names;
    }
};

// The name a node status query asks with when it means whoever is there:
// "*" padded with NULs.
NetbiosName any_name();

// A node status response; at most 255 names fit.
std::vector<uint8_t> build_node_status(const NodeStatus &status);

// Parses a node status response: a count, or names and statistics, past the
// packet are malformed; a packet that is not one is unsupported.
Parse parse_node_status(const uint8_t *data, size_t size, NodeStatus *out);

} // namespace relay

#endif
