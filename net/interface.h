#pragma once
#include <cstdint>
#include <string>
#include <vector>

// One network interface of the host, as the station weighs it.
struct NetInterface {
    std::string name;
    unsigned index = 0;
    unsigned flags = 0;               // IFF_*
    bool hardware = false;            // a device, not one under /sys/devices/virtual/net
    std::vector<uint32_t> addresses;  // IPv4, network byte order, in the kernel's order
};

// A default route of the main routing table.
struct DefaultRoute {
    std::string interface;
    unsigned metric = 0;
};

struct HostNetwork {
    std::vector<NetInterface> interfaces;  // in the kernel's order
    std::vector<DefaultRoute> routes;
};

// The interface a station takes part on, and its address there.
struct InterfaceChoice {
    enum State {
        none,        // no interface can broadcast
        addressed,   // on `name`, at `address`
        unaddressed, // on `name`, which has no address a station can have (or cannot broadcast now)
        absent,      // `name` was asked for and is not there
    } state = none;
    std::string name;
    unsigned index = 0;
    uint32_t address = 0;  // 0 unless addressed
    bool operator==(const InterfaceChoice&) const = default;
};

// Up, running, able to broadcast, neither loopback nor point-to-point.
bool can_broadcast(unsigned flags);

// The interface named by the user (`wanted`), else that of the default route
// of lowest metric when it can broadcast and has an address, else the first
// that can broadcast: devices before virtual ones, one with an address before
// one waiting for it, each in the kernel's order.
InterfaceChoice choose_interface(const HostNetwork& host, const std::string& wanted);

// The host's interfaces and the main table's default routes, as they are now.
HostNetwork read_host_network();
