#ifndef PLATFORM_POSIX_SERVICE_CHANNEL_H
#define PLATFORM_POSIX_SERVICE_CHANNEL_H

#include <stdint.h>

// The channel between the supervising process and the service program: one
// end of a SOCK_SEQPACKET socket pair, its number in W32_SERVICE_CHANNEL_FD.
// Every message is eight 32-bit words in host order, a kind and seven values.
// The program's side is the layer's service control; the manager's side is
// svcctl.
constexpr const char kChannelVariable[] = "W32_SERVICE_CHANNEL_FD";

enum ChannelKind : uint32_t {
    kChannelStatus = 1,       // program: the seven fields of a status report
    kChannelControlDone = 2,  // program: code, result (0 when the handler ran)
    kChannelMainReturned = 3, // program: main function returned without stopping
    kChannelControl = 4,      // manager: code
};

struct ChannelMessage {
    uint32_t kind;
    uint32_t value[7];
};

#endif
