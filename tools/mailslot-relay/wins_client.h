// The relay's point-to-point half, for `--wins ADDRESS`: it registers this
// node's names with a NetBIOS name server (WINS) by unicast, refreshes them
// at half the time-to-live the server grants, releases them on exit, and
// asks the server for other names, so that hosts behind routers find each
// other. The broadcast node (name_service.h) keeps working beside it.
//
// A response counts only when it comes from the server, carries the
// transaction id of a request outstanding and names the name asked about;
// anything else is left for the broadcast node. A wait-for-acknowledgement
// (WACK) stretches the wait for a registration, within bounds; a refusal is
// reported and the name stays ours on the subnet.
#ifndef MAILSLOT_RELAY_WINS_CLIENT_H
#define MAILSLOT_RELAY_WINS_CLIENT_H

#include <stdint.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "name_service.h"

namespace relay {

class WinsClient {
public:
    static constexpr int kTries = 3;
    static constexpr Millis kRetryInterval = 750;
    // A server that never answered a registration is asked again this late.
    static constexpr Millis kRetryLater = 60 * 1000;
    // The longest a WACK may make a registration wait.
    static constexpr Millis kWackMax = 60 * 1000;
    // Refreshes at half the granted TTL, bounded so that neither a tiny nor
    // a huge TTL from the server makes it flood or forget the server.
    static constexpr uint32_t kTtlMinSeconds = 60;
    static constexpr uint32_t kTtlMaxSeconds = 7 * 24 * 3600;
    static constexpr size_t kPendingMax = 64;
    // NB_FLAGS owner node type of a hybrid node.
    static constexpr uint16_t kHybridNode = 0x6000;

    enum class Answer { Found, NotFound, Silent };
    using QueryDone = std::function<void(Answer answer, const Resolved &where)>;
    using Note = std::function<void(const std::string &line)>;

    // `names`: what to register (name and group flag); `from`: the
    // interface the server is reached through.
    WinsClient(uint32_t server, const Interface &from, const std::vector<OwnName> &names,
               NameTransport *transport, uint16_t first_id);

    void set_note(Note note) { note_ = std::move(note); }

    void start(Millis now);
    void tick(Millis now);
    Millis next_deadline() const;
    // A name-service packet from `from`:`port`; false when it is none of
    // this client's business.
    bool on_packet(const NamePacket &packet, uint32_t from, uint16_t port, Millis now);
    // Releases the names the server holds for us.
    void release();

    // Asks the server for `name`; `done` learns Found, NotFound (the server
    // said so) or Silent (no usable answer in time).
    void resolve(const NetbiosName &name, Millis now, QueryDone done);

    uint32_t server() const { return server_; }
    // Whether the server has granted `name` (suffix included, any case).
    bool registered(const NetbiosName &name) const;

private:
    struct Registration {
        NetbiosName name;
        bool group = false;
        enum class State { Registering, Held, Refused, Waiting } state = State::Waiting;
        uint8_t opcode = 0; // of the request outstanding: registration or refresh
        uint16_t id = 0;
        int tries = 0;
        Millis next = -1; // the next send (or refresh), -1 for none
    };
    struct Query {
        uint16_t id = 0;
        int tries = 0;
        Millis next = 0;
        std::vector<QueryDone> waiting;
    };

    uint16_t next_id() { return id_++; }
    void send_request(const Registration &r, uint8_t opcode, uint16_t id, uint32_t ttl);
    void send_query(const NetbiosName &name, uint16_t id);
    void begin(Registration &r, uint8_t opcode, Millis now);
    bool take_registration_answer(const NamePacket &packet, Millis now);
    bool take_query_answer(const NamePacket &packet);
    void finish_query(std::map<NetbiosName, Query>::iterator it, Answer answer,
                      const Resolved &where);
    void note(const std::string &line) const
    {
        if (note_)
            note_(line);
    }

    const uint32_t server_;
    const Interface from_;
    NameTransport *const transport_;
    uint16_t id_;
    Note note_;
    std::vector<Registration> names_;
    std::map<NetbiosName, Query> queries_;
    bool silent_ = false; // said so, and no grant since
};

} // namespace relay

#endif
