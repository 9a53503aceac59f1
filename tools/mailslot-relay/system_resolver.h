// The last way the relay finds a machine: the system's resolver
// (getaddrinfo: /etc/hosts, DNS), as Windows falls back to DNS for a name
// neither WINS nor a broadcast knows. Lookups run one at a time on a
// thread of their own, since DNS may take seconds; the event loop polls
// fd() and takes the answers with on_ready().
#ifndef MAILSLOT_RELAY_SYSTEM_RESOLVER_H
#define MAILSLOT_RELAY_SYSTEM_RESOLVER_H

#include <stdint.h>

#include <functional>
#include <memory>
#include <string>

namespace relay {

class SystemResolver {
public:
    static constexpr size_t kQueueMax = 64;
    // found: an IPv4 address one host has (host byte order).
    using Done = std::function<void(bool found, uint32_t address)>;

    SystemResolver();
    ~SystemResolver(); // a lookup still running finishes on its own, unheard

    // The descriptor that becomes readable when answers wait; -1 when the
    // resolver could not be set up (then every lookup finds nothing).
    int fd() const;
    // Looks up `host`; `done` runs from on_ready(), or at once when the
    // queue is full.
    void lookup(const std::string &host, Done done);
    void on_ready();

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
};

} // namespace relay

#endif
