// The IPv4 interfaces the relay serves: up, broadcast-capable, not loopback.
#ifndef MAILSLOT_RELAY_INTERFACES_H
#define MAILSLOT_RELAY_INTERFACES_H

#include <stdint.h>

#include <string>
#include <vector>

namespace relay {

struct Interface {
    std::string name;
    int index = 0;
    uint32_t address = 0;   // host byte order, as are the two below
    uint32_t netmask = 0;
    uint32_t broadcast = 0;

    bool on_subnet(uint32_t ip) const { return (ip & netmask) == (address & netmask); }
};

// Every suitable interface, or those named in `wanted` (all must be
// suitable). False with a one-line reason in `error` when none is left.
bool find_interfaces(const std::vector<std::string> &wanted, std::vector<Interface> *out,
                     std::string *error);

// Whether `address` is one host's (not 0, loopback, multicast or broadcast).
bool is_host_address(uint32_t address);

// Every IPv4 address of this host's interfaces, served or not; empty when
// they cannot be listed.
std::vector<uint32_t> this_host_addresses();

// Dotted-quad text of a host-order address.
std::string ip_text(uint32_t address);

} // namespace relay

#endif
