#include "name_resolver.h"

#include <ctype.h>

namespace relay {

void NameResolver::resolve(const NetbiosName &name, NameService::ResolveDone done)
{
    // Our own names need nobody's answer.
    if (!wins_ || names_->holds(name)) {
        by_broadcast(name, std::move(done));
        return;
    }
    wins_->resolve(name, clock_(),
                   [this, name, done](WinsClient::Answer answer, const Resolved &where) {
                       if (answer == WinsClient::Answer::Found)
                           done(true, where);
                       else
                           by_broadcast(name, done);
                   });
}

void NameResolver::by_broadcast(const NetbiosName &name, NameService::ResolveDone done)
{
    names_->resolve(name, clock_(), [this, name, done](bool found, const Resolved &where) {
        if (found || !system_ || name.suffix() != 0x00)
            done(found, where);
        else
            by_system(name, done);
    });
}

// The machine's name as a host name: its characters in lower case.
void NameResolver::by_system(const NetbiosName &name, NameService::ResolveDone done)
{
    std::string host = name.text();
    for (char &c : host)
        c = char(tolower(static_cast<unsigned char>(c)));
    system_->lookup(host, [this, done](bool found, uint32_t address) {
        Resolved where;
        if (found) {
            where.address = address;
            where.interface_index = interfaces_->front().index;
            for (const Interface &iface : *interfaces_)
                if (iface.on_subnet(address))
                    where.interface_index = iface.index;
        }
        done(found, where);
    });
}

} // namespace relay
