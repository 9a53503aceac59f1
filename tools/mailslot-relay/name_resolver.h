// How the relay finds another machine, in the order Windows uses for a
// hybrid node: the WINS server first (when there is one), then a broadcast
// on the subnet, then the system's resolver (/etc/hosts, DNS) for a
// machine's name. Group names stop after the broadcast: a group lives on
// the subnet. A broadcast node (no WINS server) asks the subnet alone, so
// that a name nobody answers fails as fast as it always has.
#ifndef MAILSLOT_RELAY_NAME_RESOLVER_H
#define MAILSLOT_RELAY_NAME_RESOLVER_H

#include <functional>
#include <vector>

#include "name_service.h"
#include "system_resolver.h"
#include "wins_client.h"

namespace relay {

class NameResolver {
public:
    using Clock = std::function<Millis()>;

    // `wins` and `system` may be null (a broadcast node asks neither). All
    // must outlive the resolver.
    NameResolver(NameService *names, WinsClient *wins, SystemResolver *system,
                 const std::vector<Interface> *interfaces, Clock clock)
        : names_(names), wins_(wins), system_(system), interfaces_(interfaces),
          clock_(std::move(clock))
    {
    }

    void resolve(const NetbiosName &name, NameService::ResolveDone done);

private:
    void by_broadcast(const NetbiosName &name, NameService::ResolveDone done);
    void by_system(const NetbiosName &name, NameService::ResolveDone done);

    NameService *const names_;
    WinsClient *const wins_;
    SystemResolver *const system_;
    const std::vector<Interface> *const interfaces_;
    const Clock clock_;
};

} // namespace relay

#endif
