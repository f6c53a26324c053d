// Which interface a station takes part on, and its address there.
#include <gtest/gtest.h>

#include <functional>

#include "net/station_fixture.h"

namespace {

const unsigned LAN = IFF_UP | IFF_RUNNING | IFF_BROADCAST | IFF_MULTICAST;

// "name#index address", "name#index waiting" (no address yet), "name absent" or "none".
std::string shown(const InterfaceChoice& c) {
    const char* state[] = {"none", "", "waiting", "absent"};
    if (c.state == InterfaceChoice::none || c.state == InterfaceChoice::absent)
        return (c.name.empty() ? "" : c.name + " ") + state[c.state];
    return c.name + "#" + std::to_string(c.index) + " " + (c.address ? dotted(c.address) : state[c.state]);
}

// Each row changes a host of loopback, a container bridge, a full-tunnel VPN
// (whose device claims to broadcast as well) and two devices, in the kernel's
// order, with the default routes given.
TEST(Interface, Chosen) {
    using Host = std::function<void(std::vector<NetInterface>&)>;
    auto drop = [](const char* name) {
        return [name](std::vector<NetInterface>& all) { std::erase_if(all, [&](auto& i) { return i.name == name; }); };
    };
    auto unaddress = [](int at) { return [at](std::vector<NetInterface>& all) { all[at].addresses = {0x0100007F}; }; };
    const struct {
        const char* name;
        std::vector<DefaultRoute> routes;
        const char* wanted;
        Host change;
        const char* chosen;
    } rows[] = {
        {"default route of lowest metric", {{"wlan0", 600}, {"eth0", 100}}, "", {}, "eth0#4 192.168.1.23"},
        {"default route on the tunnel", {{"tun0", 0}, {"wlan0", 600}}, "", {}, "eth0#4 192.168.1.23"},
        {"default route where no address is", {{"wlan0", 0}}, "", unaddress(4), "eth0#4 192.168.1.23"},
        {"no default route: devices first", {}, "", {}, "eth0#4 192.168.1.23"},
        {"a device unplugged", {}, "", [](auto& all) { all[3].flags &= ~IFF_RUNNING; }, "wlan0#5 10.0.5.7"},
        {"a device waiting for its address, the bridge has one", {}, "",
         [=](auto& all) { unaddress(3)(all), drop("wlan0")(all); }, "eth0#4 waiting"},
        {"only the bridge", {}, "", [=](auto& all) { drop("eth0")(all), drop("wlan0")(all); }, "docker0#2 172.17.0.1"},
        {"nothing that broadcasts", {{"tun0", 0}}, "", [](auto& all) { all.resize(3), all[1].flags = 0; }, "none"},
        {"named", {{"eth0", 0}}, "wlan0", {}, "wlan0#5 10.0.5.7"},
        {"named, without an address", {{"eth0", 0}}, "wlan0", unaddress(4), "wlan0#5 waiting"},
        {"named, down", {}, "docker0", [](auto& all) { all[1].flags &= ~IFF_UP; }, "docker0#2 waiting"},
        {"named, absent", {{"eth0", 0}}, "wlan1", {}, "wlan1 absent"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        HostNetwork host{{{"lo", 1, IFF_UP | IFF_RUNNING | IFF_LOOPBACK, false, {inet_addr("127.0.0.1")}},
                          {"docker0", 2, LAN, false, {inet_addr("172.17.0.1")}},
                          {"tun0", 3, LAN | IFF_POINTOPOINT, false, {inet_addr("10.8.0.2")}},
                          {"eth0", 4, LAN, true, {inet_addr("192.168.1.23"), inet_addr("192.168.1.24")}},
                          {"wlan0", 5, LAN, true, {inet_addr("10.0.5.7")}}},
                         row.routes};
        if (row.change) row.change(host.interfaces);
        EXPECT_EQ(shown(choose_interface(host, row.wanted)), row.chosen);
    }
    // The unit tests' namespace: loopback alone, which no station takes.
    const HostNetwork here = read_host_network();
    ASSERT_EQ(here.interfaces.size(), 1u);
    EXPECT_EQ(here.interfaces[0].addresses, (std::vector{inet_addr("127.0.0.1"), inet_addr("10.0.0.1")}));
    EXPECT_EQ(shown(choose_interface(here, "")), "none");
    EXPECT_EQ(shown(choose_interface(here, "lo")), "lo#1 waiting");
}

}  // namespace
