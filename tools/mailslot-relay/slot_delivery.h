// Puts received mailslot messages into this host's slots, on a thread of
// its own so that the slots' file system never holds up the relay. Each goes
// as a broadcast message through the layer (deliver_local_broadcast), which
// every account's slot takes from any account: the relay needs no privilege
// for it, and never hands it back to itself. A slot that is missing or full
// misses it. Messages queue in arrival order; when the queue is full, new
// ones are dropped.
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
