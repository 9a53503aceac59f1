#include "slot_delivery.h"

#include <algorithm>

#include "platform/posix/mailslot_extensions.h"

namespace relay {
namespace {

// Slots are one slot whatever the case of A-Z, as the layer compares them.
std::string slot_key(const std::string &slot)
{
    std::string key = slot;
    for (char &c : key)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return key;
}

} // namespace

void SlotDelivery::start()
{
    thread_ = std::thread([this] { run(); });
}

void SlotDelivery::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable())
        thread_.join();
}

void SlotDelivery::enqueue(const std::string &slot, std::vector<uint8_t> data)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string key = slot_key(slot);
        auto it = slots_.find(key);
        // The message on its way out has left the queue, whatever becomes of it.
        size_t waiting = it == slots_.end() ? 0
                                            : it->second.messages.size() - it->second.sending;
        if (waiting < kSlotQueueMax && queued_ < kQueuedMax) {
            if (it == slots_.end())
                it = slots_.emplace(key, SlotQueue{slot, {}, {}, 0, false}).first;
            it->second.messages.push_back(std::move(data));
            counters_->waiting = ++queued_;
            wake_.notify_one();
            return;
        }
    }
    counters_->drop(Drop::SlotFull);
}

std::map<std::string, SlotDelivery::SlotQueue>::iterator
SlotDelivery::next_ready(Clock::time_point now, Clock::time_point *wake)
{
    *wake = Clock::time_point::max();
    auto start = slots_.upper_bound(last_);
    for (size_t seen = 0; seen < slots_.size(); ++seen, ++start) {
        if (start == slots_.end())
            start = slots_.begin();
        if (start->second.next_try <= now)
            return start;
        if (start->second.next_try < *wake)
            *wake = start->second.next_try;
    }
    return slots_.end();
}

void SlotDelivery::run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        Clock::time_point wake;
        auto it = next_ready(Clock::now(), &wake);
        if (it == slots_.end()) {
            if (wake == Clock::time_point::max())
                wake_.wait(lock);
            else
                wake_.wait_until(lock, wake);
            continue;
        }
        last_ = it->first;
        // A copy goes out; the message keeps its place until it is delivered
        // or dropped. Only this thread takes messages or slots away.
        const std::string slot = it->second.slot;
        const std::vector<uint8_t> message = it->second.messages.front();

        it->second.sending = true;
        lock.unlock();
        DWORD result = w32::deliver_local_broadcast(slot, message.data(), message.size());
        lock.lock();

        SlotQueue &queue = it->second;
        queue.sending = false;
        if (result == ERROR_BUSY) { // full for now: its turn comes again later
            if (queue.messages.size() > kSlotQueueMax) { // one came in meanwhile: no room now
                queue.messages.pop_back();
                counters_->waiting = --queued_;
                counters_->drop(Drop::SlotFull);
            }
            queue.retry_ms = queue.retry_ms ? std::min(queue.retry_ms * 2, kLongestRetryMs)
                                            : kFirstRetryMs;
            queue.next_try = Clock::now() + std::chrono::milliseconds(queue.retry_ms);
            continue;
        }
        queue.retry_ms = 0;
        queue.next_try = Clock::time_point();
        queue.messages.pop_front();
        counters_->waiting = --queued_;
        if (result == NO_ERROR)
            ++counters_->delivered;
        else
            counters_->drop(Drop::NoSlot);
        if (queue.messages.empty())
            slots_.erase(it);
    }
}

} // namespace relay
