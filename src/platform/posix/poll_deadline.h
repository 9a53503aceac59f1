// Waiting on a descriptor until a deadline, in slices, for the layer and its
// tools.
#ifndef PLATFORM_POSIX_POLL_DEADLINE_H
#define PLATFORM_POSIX_POLL_DEADLINE_H

#include <errno.h>
#include <poll.h>

#include <algorithm>
#include <chrono>

namespace w32 {

enum class PollResult {
    Ready,   // the events came
    Waiting, // nothing yet: the slice ended, or a signal came
    Expired, // the deadline has passed
    Failed,  // poll failed; errno says why
};

// Polls `fd` for `events` once, for at most `slice_ms` and never past
// `deadline`. A caller loops on Waiting, looking meanwhile at whatever
// else may end its wait. A deadline that has passed still looks once
// without waiting, so a wait of 0 ms means "only if ready now".
inline PollResult poll_until(int fd, short events, std::chrono::steady_clock::time_point deadline,
                             int slice_ms)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    const bool expired = left.count() <= 0;
    struct pollfd waiter = {fd, events, 0};
    int ready = poll(&waiter, 1, expired ? 0 : int(std::min<long long>(left.count(), slice_ms)));
    if (ready > 0)
        return PollResult::Ready;
    if (ready < 0 && errno != EINTR)
        return PollResult::Failed;
    return expired ? PollResult::Expired : PollResult::Waiting;
}

} // namespace w32

#endif
