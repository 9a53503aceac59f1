// Decides when a pending service has stalled: no report with a new state or a
// new checkpoint within the wait hint of the last one that made progress.
#ifndef SVCCTL_PROGRESS_CLOCK_H
#define SVCCTL_PROGRESS_CLOCK_H

#include <chrono>
#include <optional>

#include "control_wire.h"
#include "service_record.h"

class ProgressClock {
public:
    // A zero or tiny wait hint still leaves the service this long.
    static constexpr std::chrono::milliseconds kMinimumWait{2000};

    void Observe(const ServiceRecord &record, Clock::time_point now = Clock::now());
    Clock::time_point Deadline() const { return deadline_; }

private:
    std::optional<ServiceRecord> last_;
    Clock::time_point deadline_ = Clock::now() + kMinimumWait;
};

#endif
