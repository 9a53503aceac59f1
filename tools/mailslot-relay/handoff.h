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
#ifndef MAILSLOT_RELAY_HANDOFF_H
#define MAILSLOT_RELAY_HANDOFF_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace relay {

constexpr size_t kHandoffMaxRequest = 2048;

struct HandoffRequest {
    enum class Kind { Resolve, SendUnique, SendGroup, SendAll };
    Kind kind = Kind::Resolve;
    std::string target; // NAME or GROUP; empty for SendAll
    std::string slot;
    std::vector<uint8_t> data;
};

// False when the bytes are not a request of the list above.
bool parse_handoff_request(const uint8_t *bytes, size_t size, HandoffRequest *out);

// $W32_ROOT/mailslot-relay and the socket in it, for the machine root `root`.
std::string handoff_dir(const std::string &root);
std::string handoff_socket_path(const std::string &root);

} // namespace relay

#endif
