// The local hand-off: how programs on this host ask the relay to resolve a
// name or to send a mailslot datagram. One request per message on a
// SOCK_SEQPACKET socket at $W32_ROOT/mailslot-relay/socket (open to every
// local account, never to other hosts); one reply per request:
//
//   resolve NAME                -> "ok A.B.C.D" (a machine) | "ok group" | "error 53"
//   send unique NAME SLOT\nDATA -> "ok" | "error 53"   DIRECT_UNIQUE to NAME
//   send group GROUP SLOT\nDATA -> "ok" | "error 53"   DIRECT_GROUP to GROUP
//   send all SLOT\nDATA         -> "ok" | "error 53"   DIRECT_GROUP to the relay's workgroup
//
// SLOT is the mailslot name X of \\HOST\mailslot\X, DATA the message (at
// most 424 bytes). A request that is not one of these gets "error 87".
//
// The relay is this host's node: a send to its own name goes into the local
// slot and a send to its own group reaches the local slot too, while "send
// all" goes to the network alone, as the layer writes its "\\*\" messages
// into the local slot itself. Nothing it sends to the network comes back
// into this host's slots.
//
// The layer's writers build these requests and read the replies; the relay
// parses the requests and sends the replies. Both use this one module.
#ifndef PLATFORM_POSIX_RELAY_HANDOFF_H
#define PLATFORM_POSIX_RELAY_HANDOFF_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace w32 {

constexpr size_t kHandoffMaxRequest = 2048;

struct HandoffRequest {
    enum class Kind { Resolve, SendUnique, SendGroup, SendAll };
    Kind kind = Kind::Resolve;
    std::string target; // NAME or GROUP; empty for SendAll
    std::string slot;
    std::vector<uint8_t> data;

    bool operator==(const HandoffRequest &other) const
    {
        return kind == other.kind && target == other.target && slot == other.slot &&
               data == other.data;
    }
};

// The request's bytes. A send's header ends at its newline, so a send with
// no data is the header a writer puts before each message.
std::string format_handoff_request(const HandoffRequest &request);

// False when the bytes are not a request of the list above.
bool parse_handoff_request(const uint8_t *bytes, size_t size, HandoffRequest *out);

// The replies.
constexpr char kHandoffOk[] = "ok";
constexpr char kHandoffGroup[] = "ok group";
constexpr char kHandoffNoName[] = "error 53";    // ERROR_BAD_NETPATH
constexpr char kHandoffBadRequest[] = "error 87"; // ERROR_INVALID_PARAMETER
std::string handoff_machine_reply(const std::string &address); // "ok A.B.C.D"

// What a reply to "resolve" says the name is.
enum class Resolved { Machine, Group, Nothing };
Resolved parse_resolve_reply(const std::string &reply);

} // namespace w32

#endif
