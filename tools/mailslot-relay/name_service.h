// The relay's name service as a broadcast node: it registers the computer
// name (unique, defended) and the workgroup (group) by broadcast, answers
// queries for them, resolves other names by broadcast query with a short
// cache, and releases its names on exit.
//
// It sends through a NameTransport and keeps time through the `now` (in
// milliseconds of a steady clock) that every call passes, so the event loop
// drives it and tests can run it without sockets.
#ifndef MAILSLOT_RELAY_NAME_SERVICE_H
#define MAILSLOT_RELAY_NAME_SERVICE_H

#include <stdint.h>

#include <functional>
#include <map>
#include <vector>

#include "interfaces.h"
#include "name_packet.h"

namespace relay {

using Millis = int64_t;

class NameTransport {
public:
    virtual ~NameTransport() = default;
    // Sends `packet` from port 137 on `iface` to `to`:`port`.
    virtual void send_name_packet(const Interface &iface, uint32_t to, uint16_t port,
                                  const std::vector<uint8_t> &packet) = 0;
};

// Where a resolved name lives and the interface that reaches it; for a
// group name, one member that answered.
struct Resolved {
    uint32_t address = 0;
    int interface_index = 0;
    bool group = false;
};

class NameService {
public:
    // Broadcast timing: tries a short interval apart, then the answer.
    static constexpr int kBroadcastTries = 3;
    static constexpr Millis kRetryInterval = 250;
    static constexpr Millis kCacheLifetime = 60 * 1000;
    static constexpr size_t kCacheMax = 256;
    static constexpr size_t kPendingMax = 64;
    static constexpr uint32_t kTtlSeconds = 300000;

    enum class State { Registering, Registered, Conflict };
    using ResolveDone = std::function<void(bool found, const Resolved &where)>;

    NameService(const NetbiosName &unique, const NetbiosName &group,
                std::vector<Interface> interfaces, NameTransport *transport, uint16_t first_id);

    // Broadcasts the first registrations.
    void start(Millis now);
    // Sends what is due (registration and query retries) and ends what has
    // waited long enough.
    void tick(Millis now);
    // When tick next has something to do; -1 for nothing.
    Millis next_deadline() const;

    // A packet that arrived on `arrived` from `from`:`port`.
    void on_packet(const NamePacket &packet, const Interface &arrived, uint32_t from,
                   uint16_t port, Millis now);

    // Broadcasts the release of both names (once registered).
    void release();

    State state() const { return state_; }
    // Who refused our unique name (State::Conflict).
    uint32_t conflict_owner() const { return conflict_owner_; }

    // Finds `name`, a machine's or a group's: at once from the cache or for
    // our own names, else by a broadcast query; `done` runs when it is
    // answered or has timed out.
    void resolve(const NetbiosName &name, Millis now, ResolveDone done);

private:
    struct Pending {
        uint16_t id;
        int tries;
        Millis next;
        std::vector<ResolveDone> waiting;
    };
    struct Cached {
        Resolved where;
        Millis expires;
    };

    uint16_t next_id() { return id_++; }
    void broadcast_registration(bool group);
    void send_query(const NetbiosName &name, uint16_t id);
    void answer_query(const NamePacket &query, const Interface &arrived, uint32_t from,
                      uint16_t port);
    void defend(const NamePacket &request, const Interface &arrived, uint32_t from,
                uint16_t port);
    void take_answer(const NamePacket &response, const Interface &arrived, Millis now);
    void forget(const NetbiosName &name);
    bool is_ours(const NetbiosName &name, bool *group) const;
    const Interface *interface_for(uint32_t address) const;

    const NetbiosName unique_;
    const NetbiosName group_;
    const std::vector<Interface> interfaces_;
    NameTransport *const transport_;
    uint16_t id_;

    State state_ = State::Registering;
    uint16_t registration_id_ = 0;
    int registration_tries_ = 0;
    Millis registration_next_ = -1;
    uint32_t conflict_owner_ = 0;

    std::map<NetbiosName, Pending> pending_;
    std::map<NetbiosName, Cached> cache_;
};

} // namespace relay

#endif
