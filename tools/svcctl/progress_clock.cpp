#include "progress_clock.h"

#include <algorithm>

void ProgressClock::Observe(const ServiceRecord &record, Clock::time_point now)
{
    bool progress = !last_ || record.state != last_->state ||
                    record.checkPoint != last_->checkPoint;
    if (progress) {
        auto hint = std::chrono::milliseconds(record.waitHint);
        deadline_ = now + std::max(hint, std::chrono::milliseconds(kMinimumWait));
    }
    last_ = record;
}
