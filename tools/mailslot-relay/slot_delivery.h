// Writes received mailslot messages into this host's slots through the
// platform layer, on a thread of its own: a slot whose holder is full makes
// the layer's WriteFile wait, and that must never hold up the relay. Messages
// queue in arrival order; when the queue is full, new ones are dropped.
#ifndef MAILSLOT_RELAY_SLOT_DELIVERY_H
#define MAILSLOT_RELAY_SLOT_DELIVERY_H

#include <stdint.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "counters.h"

namespace relay {

// Writes `data` as one message into the local slot `slot` when a slot of
// that name exists (names compared without regard to case); creates nothing.
bool deliver_to_local_slot(const std::string &slot, const std::vector<uint8_t> &data);

class SlotDelivery {
public:
    static constexpr size_t kQueueMax = 256;

    explicit SlotDelivery(Counters *counters) : counters_(counters) {}
    ~SlotDelivery() { stop(); }

    void start();
    // Waits for the message being written, if any; what still waits is dropped.
    void stop();
    // Queues one message; counts it dropped when the queue is full.
    void enqueue(std::string slot, std::vector<uint8_t> data);

private:
    struct Message {
        std::string slot;
        std::vector<uint8_t> data;
    };
    void run();

    Counters *const counters_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Message> queue_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace relay

#endif
