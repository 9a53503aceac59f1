// What the relay has done, for its operator: printed to stderr on SIGUSR1
// and at exit. Every datagram another host sends to port 138 is delivered,
// dropped for one reason, waiting for its slot, or among the kernel's drops,
// so the figures add up to what was sent; packets from this host's own
// addresses are not counted.
#ifndef MAILSLOT_RELAY_COUNTERS_H
#define MAILSLOT_RELAY_COUNTERS_H

#include <stdint.h>
#include <stdio.h>

#include <atomic>
#include <string>

namespace relay {

// Why a packet was not delivered.
enum class Drop {
    NotOurs,     // for a name this node does not hold
    Fragment,    // a datagram in parts: mailslot writes come whole
    Unsupported, // well-formed, of a kind this node does not take part in
    NoSlot,      // no such slot on this host
    SlotFull,    // its slot's queue was full
    TooLarge,    // more than a mailslot message carries between machines
    Malformed,   // broke the protocol
};
constexpr int kDropReasons = 7;

struct Counters {
    std::atomic<uint64_t> delivered{0};     // messages written into local slots
    std::atomic<uint64_t> waiting{0};       // messages queued for a slot that is full for now
    std::atomic<uint64_t> dropped[kDropReasons] = {};
    std::atomic<uint64_t> names_ignored{0}; // well-formed name packets not acted on
    std::atomic<uint64_t> kernel_drops{0};  // lost to a full socket receive buffer
    std::atomic<uint64_t> sent{0};          // mailslot datagrams sent for local writers

    void drop(Drop why) { ++dropped[int(why)]; }
    uint64_t dropped_for(Drop why) const { return dropped[int(why)].load(); }

    // "delivered 1, dropped 3 (not ours 1, ...), name packets ignored 0, ..."
    std::string line() const
    {
        static const char *const reasons[kDropReasons] = {
            "not ours", "fragment", "unsupported", "no slot", "slot full", "too large",
            "malformed"};
        uint64_t total = 0;
        std::string each;
        for (int i = 0; i < kDropReasons; ++i) {
            total += dropped[i].load();
            each += std::string(i ? ", " : "") + reasons[i] + " " +
                    std::to_string(dropped[i].load());
        }
        return "delivered " + std::to_string(delivered.load()) + ", waiting " +
               std::to_string(waiting.load()) + ", dropped " +
               std::to_string(total) + " (" + each + "), name packets ignored " +
               std::to_string(names_ignored.load()) + ", kernel drops " +
               std::to_string(kernel_drops.load()) + ", sent " + std::to_string(sent.load());
    }

    void print(FILE *to) const
    {
        fprintf(to, "mailslot-relay: %s\n", line().c_str());
        fflush(to);
    }
};

} // namespace relay

#endif
