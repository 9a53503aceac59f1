#include "slot_delivery.h"

#include "platform/posix/layer_shared.h"

namespace relay {

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

void SlotDelivery::enqueue(std::string slot, std::vector<uint8_t> data)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queue_.size() < kQueueMax) {
            queue_.push_back(Message{std::move(slot), std::move(data)});
            wake_.notify_one();
            return;
        }
    }
    ++counters_->dropped;
}

void SlotDelivery::run()
{
    for (;;) {
        Message message;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_)
                return;
            message = std::move(queue_.front());
            queue_.pop_front();
        }
        if (w32::deliver_local_broadcast(message.slot, message.data.data(),
                                         message.data.size()) == NO_ERROR)
            ++counters_->delivered;
        else
            ++counters_->dropped;
    }
}

} // namespace relay
