// Puts received mailslot messages into this host's slots, on a thread of
// its own so that the slots' file system never holds up the relay. Each goes
// as a broadcast message through the layer (deliver_local_broadcast), which
// every account's slot takes from any account: the relay needs no privilege
// for it, and never hands it back to itself.
//
// Every slot has a queue of its own, taken in turn, and nothing waits on a
// slot: one whose socket is full is tried again a little later while the
// others go on, so a reader that is slow or has stopped never delays another
// slot's mail. A message that finds its slot's queue full is dropped at once
// (counted "slot full"), as is one for a slot that does not exist ("no slot").
#ifndef MAILSLOT_RELAY_SLOT_DELIVERY_H
#define MAILSLOT_RELAY_SLOT_DELIVERY_H

#include <stdint.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "counters.h"

namespace relay {

class SlotDelivery {
public:
    static constexpr size_t kSlotQueueMax = 128;  // messages waiting for one slot
    static constexpr size_t kQueuedMax = 4096;    // for all slots together
    static constexpr int kFirstRetryMs = 1;       // a full slot is tried again after this,
    static constexpr int kLongestRetryMs = 50;    // doubling up to this

    explicit SlotDelivery(Counters *counters) : counters_(counters) {}
    ~SlotDelivery() { stop(); }

    void start();
    // Waits for the message being written, if any; what still waits is dropped.
    void stop();
    // Queues one message for `slot`, or drops it at once when its queue is full.
    void enqueue(const std::string &slot, std::vector<uint8_t> data);

private:
    using Clock = std::chrono::steady_clock;
    struct SlotQueue {
        std::string slot; // as the first message named it
        std::deque<std::vector<uint8_t>> messages;
        Clock::time_point next_try{};
        int retry_ms = 0;
        bool sending = false; // the first message is on its way out
    };
    void run();
    // The next slot whose turn it is and that may be tried now, or none;
    // `wake` becomes the earliest time a waiting slot may be tried.
    std::map<std::string, SlotQueue>::iterator next_ready(Clock::time_point now,
                                                          Clock::time_point *wake);

    Counters *const counters_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::map<std::string, SlotQueue> slots_; // by the slot's name in lower case
    std::string last_;                       // the slot served last, for taking turns
    size_t queued_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace relay

#endif
