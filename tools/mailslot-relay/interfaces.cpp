#include "interfaces.h"

#include <arpa/inet.h>
#include <errno.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <string.h>

#include <algorithm>

namespace relay {
namespace {

uint32_t host_order(const struct sockaddr *address)
{
    return ntohl(reinterpret_cast<const struct sockaddr_in *>(address)->sin_addr.s_addr);
}

bool suitable(const struct ifaddrs *entry)
{
    return entry->ifa_addr && entry->ifa_addr->sa_family == AF_INET && entry->ifa_netmask &&
           (entry->ifa_flags & IFF_UP) && (entry->ifa_flags & IFF_BROADCAST) &&
           !(entry->ifa_flags & IFF_LOOPBACK) && entry->ifa_broadaddr;
}

} // namespace

bool is_host_address(uint32_t address)
{
    uint8_t first = uint8_t(address >> 24);
    return address != 0 && first != 127 && first < 224;
}

std::vector<uint32_t> this_host_addresses()
{
    std::vector<uint32_t> addresses;
    struct ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return addresses;
    for (struct ifaddrs *entry = list; entry; entry = entry->ifa_next)
        if (entry->ifa_addr && entry->ifa_addr->sa_family == AF_INET)
            addresses.push_back(host_order(entry->ifa_addr));
    freeifaddrs(list);
    return addresses;
}

std::string ip_text(uint32_t address)
{
    struct in_addr in;
    in.s_addr = htonl(address);
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &in, text, sizeof text);
    return text;
}

bool find_interfaces(const std::vector<std::string> &wanted, std::vector<Interface> *out,
                     std::string *error)
{
    struct ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) {
        *error = std::string("cannot list the network interfaces: ") + strerror(errno);
        return false;
    }
    out->clear();
    for (const struct ifaddrs *entry = list; entry; entry = entry->ifa_next) {
        if (!suitable(entry))
            continue;
        bool picked = wanted.empty() ||
                      std::find(wanted.begin(), wanted.end(), entry->ifa_name) != wanted.end();
        bool seen = std::any_of(out->begin(), out->end(), [&](const Interface &i) {
            return i.name == entry->ifa_name;
        });
        if (!picked || seen) // one address per interface: its first
            continue;
        Interface iface;
        iface.name = entry->ifa_name;
        iface.index = int(if_nametoindex(entry->ifa_name));
        iface.address = host_order(entry->ifa_addr);
        iface.netmask = host_order(entry->ifa_netmask);
        iface.broadcast = host_order(entry->ifa_broadaddr);
        out->push_back(iface);
    }
    freeifaddrs(list);

    for (const std::string &name : wanted) {
        if (std::none_of(out->begin(), out->end(),
                         [&](const Interface &i) { return i.name == name; })) {
            *error = "interface " + name +
                     " is not an up, broadcast-capable IPv4 interface other than loopback";
            return false;
        }
    }
    if (out->empty()) {
        *error = "no up, broadcast-capable IPv4 interface other than loopback";
        return false;
    }
    return true;
}

} // namespace relay
