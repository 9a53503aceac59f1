// What passes between the relay and Samba's nmbd on nmbd's local packet
// socket ("unexpected", a Unix stream socket): the request that asks for
// every datagram nmbd does not keep, and the frames it sends back, each a
// header and a datagram as nmbd rebuilt it. Both are nmbd's own C structs
// in host byte order, so they are declared here as structs, with the
// host's sizes and padding, never as fixed offsets.
//
// Also what the relay does with what comes that way: the names of nmbd's it
// delivers for, and the broadcast repeats it drops.
#ifndef MAILSLOT_RELAY_NMBD_PACKETS_H
#define MAILSLOT_RELAY_NMBD_PACKETS_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include <deque>
#include <string>
#include <vector>

#include "name_packet.h"
#include "netbios_name.h"

namespace relay {

// The request: which packets a client wants, then `filter_length` bytes
// of a mailslot name to match (none here: every datagram).
struct NmbdQuery {
    int type;             // 0 name service, 1 datagram
    size_t filter_length; // at most 1024
    int transaction_id;   // name service only; -1 for any
};

// Before each packet nmbd passes on.
struct NmbdFrameHeader {
    size_t length; // of the packet that follows
    int type;
    time_t received;
    uint32_t sender_ip; // network byte order
    int sender_port;
};

constexpr int kNmbdDatagrams = 1;
// nmbd rebuilds a packet into a buffer of this size; a longer length is
// not nmbd's.
constexpr size_t kNmbdLargestFrame = 1024;
// nmbd reads no more of a datagram than this.
constexpr size_t kNmbdLargestDatagram = 576;

// The bytes that ask nmbd for every datagram it passes on.
std::vector<uint8_t> nmbd_datagram_request();

struct NmbdFrame {
    uint32_t from = 0; // host byte order
    uint16_t port = 0;
    std::vector<uint8_t> packet;
};

// Takes the stream from nmbd as it arrives, in pieces of any size: the one
// byte that accepts the request, then frames.
class NmbdStream {
public:
    enum class Next { Frame, More, Broken };
    void feed(const uint8_t *data, size_t size);
    // The next whole frame, More until one has come, or Broken for a refused
    // request or a frame that cannot be nmbd's (the connection must end).
    Next next(NmbdFrame *out);

private:
    std::vector<uint8_t> pending_;
    bool accepted_ = false;
};

// The names of nmbd's that the relay delivers for: those its own node would
// hold, namely nmbd's unique names with suffix 00 (its netbios name and
// aliases) and its groups' names with suffix 00 and 1E (the workgroup).
struct NmbdNames {
    std::vector<NetbiosName> unique;
    std::vector<NetbiosName> groups;

    bool holds(const NetbiosName &name) const;
    bool holds_unique(const NetbiosName &name) const;
    // "HOSTA<00>, WORKGROUP<00> (group), ..."
    std::string describe() const;
};
NmbdNames nmbd_names_from(const NodeStatus &status);

// nmbd may hand on one broadcast twice; the second copy, the same bytes
// from the same sender within a short while, is a repeat.
class RepeatFilter {
public:
    static constexpr int64_t kWindowMs = 2000;
    static constexpr size_t kRemembered = 64;
    // Whether `packet` from `from` is a repeat; remembers it when not.
    bool repeat(uint32_t from, const std::vector<uint8_t> &packet, int64_t now);

private:
    struct Seen {
        uint32_t from;
        std::vector<uint8_t> packet;
        int64_t at;
    };
    std::deque<Seen> seen_;
};

} // namespace relay

#endif
