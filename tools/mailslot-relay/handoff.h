// Where the relay's local hand-off socket lives. Its requests and replies,
// shared with the layer's writers, are in platform/posix/relay_handoff.h.
#ifndef MAILSLOT_RELAY_HANDOFF_H
#define MAILSLOT_RELAY_HANDOFF_H

#include <string>

#include "platform/posix/relay_handoff.h"

namespace relay {

using w32::HandoffRequest;
using w32::kHandoffMaxRequest;
using w32::parse_handoff_request;

// $W32_ROOT/mailslot-relay and the socket in it, for the machine root `root`.
std::string handoff_dir(const std::string &root);
std::string handoff_socket_path(const std::string &root);

} // namespace relay

#endif
