// The bounds of what the layer's mailslots carry and hold.
#ifndef PLATFORM_POSIX_MAILSLOT_LIMITS_H
#define PLATFORM_POSIX_MAILSLOT_LIMITS_H

#include <stddef.h>

namespace w32 {

// The largest message: a larger WriteFile fails, a larger datagram from a
// raw socket client is dropped on receipt.
constexpr size_t kMaxMessageBytes = 64 * 1024;

// The largest message a broadcast ("\\*\mailslot\...") carries.
constexpr size_t kMaxBroadcastBytes = 424;

// What a mailslot holds in memory. At either bound it stops taking messages
// from its socket, whose queue then fills and makes writers wait.
constexpr size_t kQueueMaxMessages = 1024;
constexpr size_t kQueueMaxBytes = 1024 * 1024;

// How long a WriteFile waits for room in a full mailslot.
constexpr int kWriteTimeoutMs = 10 * 1000;

} // namespace w32

#endif
