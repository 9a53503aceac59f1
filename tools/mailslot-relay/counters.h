// What the relay has done, for its operator: printed to stderr on SIGUSR1
// and at exit.
#ifndef MAILSLOT_RELAY_COUNTERS_H
#define MAILSLOT_RELAY_COUNTERS_H

#include <stdint.h>
#include <stdio.h>

#include <atomic>

namespace relay {

struct Counters {
    std::atomic<uint64_t> delivered{0}; // messages written into local slots
    std::atomic<uint64_t> dropped{0};   // well-formed datagrams not for us or for no slot
    std::atomic<uint64_t> malformed{0}; // packets that broke the protocol
    std::atomic<uint64_t> sent{0};      // mailslot datagrams sent for local writers

    void print(FILE *to) const
    {
        fprintf(to, "mailslot-relay: delivered %llu, dropped %llu, malformed %llu, sent %llu\n",
                (unsigned long long)delivered.load(), (unsigned long long)dropped.load(),
                (unsigned long long)malformed.load(), (unsigned long long)sent.load());
        fflush(to);
    }
};

} // namespace relay

#endif
