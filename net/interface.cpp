#include "net/interface.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <netpacket/packet.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "net/net.h"

namespace {

uint32_t first_address(const NetInterface& i) {
    auto it = std::find_if(i.addresses.begin(), i.addresses.end(), station_address_ok);
    return it == i.addresses.end() ? 0 : *it;
}

InterfaceChoice on(const NetInterface& i) {
    const uint32_t a = can_broadcast(i.flags) ? first_address(i) : 0;
    return {a ? InterfaceChoice::addressed : InterfaceChoice::unaddressed, i.name, i.index, a};
}

}  // namespace

bool can_broadcast(unsigned flags) {
    const unsigned needed = IFF_UP | IFF_RUNNING | IFF_BROADCAST;
    return (flags & needed) == needed && !(flags & (IFF_LOOPBACK | IFF_POINTOPOINT));
}

InterfaceChoice choose_interface(const HostNetwork& host, const std::string& wanted) {
    const auto& all = host.interfaces;
    auto named = [&all](const std::string& name) {
        return std::find_if(all.begin(), all.end(), [&name](const NetInterface& i) { return i.name == name; });
    };
    if (!wanted.empty()) {
        auto it = named(wanted);
        return it == all.end() ? InterfaceChoice{InterfaceChoice::absent, wanted, 0, 0} : on(*it);
    }
    auto route = std::min_element(host.routes.begin(), host.routes.end(),
                                  [](const DefaultRoute& a, const DefaultRoute& b) { return a.metric < b.metric; });
    if (route != host.routes.end()) {
        auto it = named(route->interface);
        if (it != all.end())
            if (InterfaceChoice c = on(*it); c.state == InterfaceChoice::addressed) return c;
    }
    // A container bridge is not taken while the Ethernet port waits for its address.
    for (bool hardware : {true, false}) {
        const NetInterface* waiting = nullptr;
        for (const NetInterface& i : all) {
            if (i.hardware != hardware || !can_broadcast(i.flags)) continue;
            if (first_address(i)) return on(i);
            if (!waiting) waiting = &i;
        }
        if (waiting) return on(*waiting);
    }
    return {};
}

HostNetwork read_host_network() {
    HostNetwork host;
    ifaddrs* all = nullptr;
    if (getifaddrs(&all) == 0) {
        // Links come first, in the kernel's order (those without a link-layer
        // address, as a tun device, without one), then the addresses.
        for (ifaddrs* i = all; i; i = i->ifa_next) {
            const int family = i->ifa_addr ? i->ifa_addr->sa_family : AF_PACKET;
            auto it = std::find_if(host.interfaces.begin(), host.interfaces.end(),
                                   [i](const NetInterface& n) { return n.name == i->ifa_name; });
            if (family == AF_PACKET && it == host.interfaces.end()) {
                NetInterface n;
                n.name = i->ifa_name;
                n.index = i->ifa_addr ? static_cast<unsigned>(reinterpret_cast<sockaddr_ll*>(i->ifa_addr)->sll_ifindex)
                                      : if_nametoindex(i->ifa_name);
                n.flags = i->ifa_flags;
                n.hardware = access(("/sys/devices/virtual/net/" + n.name).c_str(), F_OK) != 0;
                host.interfaces.push_back(std::move(n));
            } else if (family == AF_INET && it != host.interfaces.end()) {
                it->addresses.push_back(reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
            }
        }
        freeifaddrs(all);
    }
    // The main table, one route a line after a header: name, destination,
    // gateway, flags, references, use, metric, mask, ...
    if (FILE* f = std::fopen("/proc/net/route", "re")) {
        char line[256], name[IFNAMSIZ + 1];
        unsigned destination, flags, metric, mask;
        while (std::fgets(line, sizeof line, f))
            if (std::sscanf(line, "%16s %x %*x %x %*d %*d %u %x", name, &destination, &flags, &metric, &mask) == 5 &&
                destination == 0 && mask == 0 && (flags & RTF_UP))
                host.routes.push_back({name, metric});
        std::fclose(f);
    }
    return host;
}
