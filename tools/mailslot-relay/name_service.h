// The relay's name service as a broadcast node (B-node). It holds a small
// table of names: the computer name NAME<00> (unique), the workgroup
// GROUP<00> and the browsers' group GROUP<1E>, each registered by a
// broadcast of its own with a transaction id of its own. It answers queries
// and node status for the names it holds, defends them, resolves other
// names by broadcast query with a short cache, and releases its names on
// exit.
//
// The protocol's trust rules live here: a response counts only when its
// transaction id and name match a request this node has outstanding; a
// refusal names its defender by the packet's source address; two different
// addresses answering for one unique name are a conflict, and neither is
// believed.
//
// It sends through a NameTransport and keeps time through the `now` (in
// milliseconds of a steady clock) that every call passes, so the event loop
// drives it and tests can run it without sockets. How requests travel (by
// broadcast, with this node's timing) is kept to the send_* members and
// tick(), so that a mode that asks a name server, or one that leaves port
// 137 to another node on the host, can take their place.
#ifndef MAILSLOT_RELAY_NAME_SERVICE_H
#define MAILSLOT_RELAY_NAME_SERVICE_H

#include <stdint.h>

#include <functional>
#include <map>
#include <string>
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

// A name this node registers, and what has become of it.
struct OwnName {
    enum class State { Registering, Held, Refused };
    NetbiosName name;
    bool group = false;
    State state = State::Registering;
    uint16_t id = 0;     // of its registration request
    uint32_t defender = 0; // who refused it (State::Refused)
};

class NameService {
public:
    // Broadcast timing: tries a short interval apart, then the answer.
    static constexpr int kBroadcastTries = 3;
    static constexpr Millis kRetryInterval = 250;
    // How long a query listens on after its first answer, for a second node
    // that claims the same unique name.
    static constexpr Millis kAnswerWindow = 100;
    static constexpr Millis kCacheLifetime = 60 * 1000;
    static constexpr size_t kCacheMax = 256;
    static constexpr size_t kPendingMax = 64;
    static constexpr uint32_t kTtlSeconds = 300000;
    static constexpr uint8_t kBrowserElectionSuffix = 0x1e;

    enum class State { Registering, Registered, Conflict };
    using ResolveDone = std::function<void(bool found, const Resolved &where)>;
    using Note = std::function<void(const std::string &line)>;

    NameService(const NetbiosName &unique, const NetbiosName &group,
                std::vector<Interface> interfaces, NameTransport *transport, uint16_t first_id);

    // Where the service says what the operator should know (a conflict on
    // the network); nowhere by default.
    void set_note(Note note) { note_ = std::move(note); }

    // Broadcasts the first registrations.
    void start(Millis now);
    // Sends what is due (registration and query retries) and ends what has
    // waited long enough.
    void tick(Millis now);
    // When tick next has something to do; -1 for nothing.
    Millis next_deadline() const;

    // A packet that arrived on `arrived` from `from`:`port`. False when the
    // packet asked or told this node nothing it acts on (ignored).
    bool on_packet(const NamePacket &packet, const Interface &arrived, uint32_t from,
                   uint16_t port, Millis now);

    // Broadcasts the release of every name it holds.
    void release();

    State state() const { return state_; }
    const std::vector<OwnName> &names() const { return names_; }
    // The name another node refused and who refused it (State::Conflict).
    const OwnName *refused() const;
    // Whether this node holds `name`, suffix included, without regard to case.
    bool holds(const NetbiosName &name) const;

    // Finds `name`, a machine's or a group's: at once from the cache or for
    // our own names, else by a broadcast query; `done` runs when it is
    // answered or has timed out.
    void resolve(const NetbiosName &name, Millis now, ResolveDone done);

private:
    struct Pending {
        uint16_t id = 0;
        int tries = 0;
        Millis next = 0; // the next try, or once answered the end of the answer window
        std::vector<ResolveDone> waiting;
        bool answered = false;
        bool disagree = false;
        Resolved first;
    };
    struct Cached {
        Resolved where;
        Millis expires;
    };

    uint16_t next_id() { return id_++; }
    void send_registration(const OwnName &own);
    void send_release(const OwnName &own);
    void send_query(const NetbiosName &name, uint16_t id);
    bool take_registration_response(const NamePacket &response, uint32_t from);
    bool answer_query(const NamePacket &query, const Interface &arrived, uint32_t from,
                      uint16_t port);
    bool answer_status(const NamePacket &query, const Interface &arrived, uint32_t from,
                       uint16_t port);
    bool defend(const NamePacket &request, const Interface &arrived, uint32_t from,
                uint16_t port);
    bool take_answer(const NamePacket &response, const Interface &arrived, Millis now);
    void finish_query(std::map<NetbiosName, Pending>::iterator it, Millis now);
    const OwnName *held(const NetbiosName &name) const;
    const Interface *interface_for(uint32_t address) const;

    const std::vector<Interface> interfaces_;
    NameTransport *const transport_;
    uint16_t id_;
    Note note_;

    std::vector<OwnName> names_;
    State state_ = State::Registering;
    int registration_tries_ = 0;
    Millis registration_next_ = -1;

    std::map<NetbiosName, Pending> pending_;
    std::map<NetbiosName, Cached> cache_;
};

} // namespace relay

#endif
