#include "net/net.h"

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstring>

#include "net/announce.h"
#include "net/trace.h"

namespace {

const auto g_started = std::chrono::steady_clock::now();

sockaddr_in station_address(uint32_t address) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(NET_PORT);
    a.sin_addr.s_addr = address;
    return a;
}

}  // namespace

std::string dotted(uint32_t address) {
    in_addr a{};
    a.s_addr = address;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

int64_t station_clock_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 g_started)
        .count();
}

bool station_address_ok(uint32_t address) {
    const uint32_t a = ntohl(address);
    const uint32_t first = a >> 24;
    return first != 0 && first != 127 && (a >> 28) != 0xE && a != 0xFFFFFFFFu;
}

void Cnet::say(const char* line) {
    if (print) print->printout_mess(line);
}

void Cnet::get_IPaddr() {
    // Reading the host takes a hundred microseconds or so; a watched one is read
    // only after it changed, and every time while there is no address.
    if (host_changed || my_IPaddr == 0 || sock_interfaces < 0) {
        host_changed = false;
        chosen = choose_interface(read_host(), wanted);
    }
    my_IPaddr = chosen.address;
}

void Cnet::watch_interfaces(std::function<void()> changed) {
    on_interfaces = std::move(changed);
    int s = plat::Socket(AF_NETLINK, SOCK_RAW, NETLINK_ROUTE);
    sockaddr_nl groups{};
    groups.nl_family = AF_NETLINK;
    groups.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE;
    if (s >= 0 && bind(s, reinterpret_cast<sockaddr*>(&groups), sizeof groups) == 0 &&
        plat::WatchSocket(s, false, [this](int) { interfaces_changed(); }))
        sock_interfaces = s;
    else
        plat::CloseSocket(s);
}

void Cnet::interfaces_changed() {
    // What changed does not matter, only that the host must be read again;
    // a queue that overflowed (ENOBUFS) says the same.
    char drain[4096];
    for (ssize_t r = 1; r > 0 || (r < 0 && (errno == ENOBUFS || errno == EINTR));)
        r = recv(sock_interfaces, drain, sizeof drain, MSG_DONTWAIT);
    host_changed = true;
    if (on_interfaces) on_interfaces();
}

void Cnet::prepare_listen() {
    sockaddr_in any = station_address(INADDR_ANY);
    // A failed step leaves the later ones undone and closes what the earlier
    // ones opened: a stream socket watched but never listening would wake the
    // station without end.
    auto fail = [this](const char* line) {
        say(line);
        plat::CloseSocket(sock_unicast);
        plat::CloseSocket(sock_broadcast);
        sock_unicast = sock_broadcast = -1;
    };

    // Every connection held is a descriptor: the soft limit (often 1,024) is
    // raised to what the system allows, so that the caps on connections, not
    // the descriptors, decide what a flood of idle peers gets.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }

    sock_unicast = plat::Socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    // A station restarted at once must be able to bind its port again.
    if (sock_unicast >= 0) setsockopt(sock_unicast, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(sock_unicast, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0)
        return fail("Chyba pri napojeni soketu na rozsah adries. UNICAST");
    if (plat::AsyncSelect(sock_unicast, hwnd ? *hwnd : nullptr, WM_UNICAST, plat::FD_ACCEPT) == -1)
        return fail("Nepodarilo sa pripravit asynchrone pocuvanie soketu. UNICAST");
    sock_broadcast = plat::Socket(AF_INET, SOCK_DGRAM, 0);
    // Each datagram comes with the interface it arrived by.
    if (sock_broadcast >= 0) setsockopt(sock_broadcast, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    if (bind(sock_broadcast, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0)
        return fail("Chyba pri napojeni soketu na rozsah adries. BROADCAST");
    if (plat::AsyncSelect(sock_broadcast, hwnd ? *hwnd : nullptr, WM_BROADCAST, plat::FD_READ) == -1)
        return fail("Nepodarilo sa pripravit asynchronne pocuvanie soketu. BROADCAST");
    // A backlog of only 20 dropped connections when many stations sent at
    // once; each queued connection is accepted at the loop's next turn.
    if (listen(sock_unicast, SOMAXCONN) != 0)
        return fail("Nepodarilo sa pripravit asynchrone pocuvanie soketu. UNICAST");
    listening_ok = true;
}

void Cnet::send_broadcast(const char* data, int length) {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int option = 0;
    socklen_t option_len = sizeof option;
    const int on = 1;
    if (getsockopt(s, SOL_SOCKET, SO_BROADCAST, &option, &option_len) == -1) {
        say("Chyba pri volani funkcie getsockopt().");
    } else if (option == 0 && setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == -1) {
        say("Chyba pri volani funkcie setsockopt().");
    } else {
        // Out of the station's interface, from its address, whatever the
        // routing table holds: a LAN without a router has no default route.
        sockaddr_in to = station_address(INADDR_BROADCAST);
        iovec bytes{const_cast<char*>(data), static_cast<size_t>(length > 0 ? length : 0)};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
        msghdr m{&to, sizeof to, &bytes, 1, control, sizeof control, 0};
        cmsghdr* c = CMSG_FIRSTHDR(&m);
        c->cmsg_level = IPPROTO_IP;
        c->cmsg_type = IP_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo via{};
        via.ipi_ifindex = static_cast<int>(chosen.index);
        via.ipi_spec_dst.s_addr = my_IPaddr;
        std::memcpy(CMSG_DATA(c), &via, sizeof via);
        if (sendmsg(s, &m, 0) == -1)
            say("BROADCAST data sa nepodarilo odoslat.");
    }
    if (s >= 0) close(s);
}

void Cnet::send_unicast(const char* data, const char* address, int length,
                        std::function<void(bool reached)> done, bool quiet) {
    // No station can be at such an address (a peer may name one in a layer);
    // connecting there would reach ourselves or nobody.
    if (!station_address_ok(inet_addr(address))) {
        say("Chyba pri pripojeni na vzdalenu stanicu.");
        return tell(std::move(done), false, true);
    }
    TRACE_POINT(socket, inet_addr(address));
    int s = plat::Socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (s < 0) {
        if (!quiet) say("Socket sa nepodarilo vytvorit.");
        return tell(std::move(done), false, true);
    }
    uint64_t id = next_conn++;
    auto it = conns.emplace(id, Connection{}).first;
    Connection& c = it->second;
    c.fd = s;
    c.outgoing = true;
    c.peer = inet_addr(address);
    c.due = station_clock_ms() + WAIT_MS;
    c.done = std::move(done);
    c.quiet = quiet;
    c.length = length > 0 ? length : 0;
    c.buf.reset(new char[static_cast<size_t>(c.length) + 1]);
    if (c.length) std::memcpy(c.buf.get(), data, static_cast<size_t>(c.length));
    sockaddr_in to = station_address(c.peer);
    if (!bind_own_address(s) ||
        (connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS))
        return failed_sending(it, "Chyba pri pripojeni na vzdalenu stanicu.", true);
    TRACE_POINT(connecting, c.peer);
    // On a LAN the handshake is mostly over when connect() returns: then the
    // bytes go at once, not a loop turn later. A refused connect shows here
    // too, and on_writable reads its error.
    pollfd done_yet{s, POLLOUT, 0};
    if (poll(&done_yet, 1, 0) == 1) {
        on_writable(id, true);
        if (!conns.count(id)) return;
    }
    // Otherwise the loop says when the socket can take bytes; an unreachable
    // station costs nothing but its deadline.
    if (!plat::WatchSocket(s, true, [this, id](int) { on_writable(id); }))
        return failed_sending(it, "Chyba pri pripojeni na vzdalenu stanicu.", true);
    watch_deadlines();
}

// Every peer sees the address the station signs with, whichever interface
// the route takes; the port is left to connect, so that binding first does
// not use up the ephemeral ports. False without an address, or when it just went.
bool Cnet::bind_own_address(int s) {
    sockaddr_in own = station_address(my_IPaddr);
    own.sin_port = 0;
    const int on = 1;
    setsockopt(s, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
    return my_IPaddr != 0 && bind(s, reinterpret_cast<sockaddr*>(&own), sizeof own) == 0;
}

void Cnet::on_writable(uint64_t id, bool later) {
    auto it = conns.find(id);
    if (it == conns.end()) return;
    Connection& c = it->second;
    if (!c.connected) {
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0)
            return failed_sending(it, "Chyba pri pripojeni na vzdalenu stanicu.", later);
        c.connected = true;
        TRACE_POINT(connected, c.peer);
    }
    if (c.length <= 0) return failed_sending(it, "Doslo k chybe pri prenose.", later);
    while (c.sent < c.length) {
        ssize_t r = send(c.fd, c.buf.get() + c.sent, static_cast<size_t>(c.length - c.sent), MSG_NOSIGNAL);
        if (r > 0) {
            c.sent += static_cast<int>(r);
        } else if (r < 0 && errno == EINTR) {
            continue;
        } else if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;  // the rest when the socket has room again
        } else {
            return failed_sending(it, "Doslo k chybe pri prenose.", later);
        }
    }
    TRACE_POINT(sent, c.peer);
    // Closing hands the queued bytes to the kernel, which delivers them.
    Connection c_done = finish(it);
    tell(std::move(c_done.done), true, later);
}

void Cnet::failed_sending(Conns::iterator it, const char* line, bool later) {
    Connection c = finish(it);
    if (!c.quiet) say(line);
    tell(std::move(c.done), false, later);
}

// The sender never learns the outcome from inside its own call (`later`):
// then at the loop's next turn, or before the next message received is
// handled if that comes first, since it may answer the bytes just sent (an
// ACK) and must find its message known as sent; from the loop, at once.
void Cnet::tell(std::function<void(bool)> done, bool reached, bool later) {
    if (!done) return;
    if (!later) return done(reached);
    told.emplace_back(std::move(done), reached);
    if (!told_call) told_call = plat::CallLater(0, [this]() { tell_now(); });
}

void Cnet::tell_now() {
    if (told.empty()) return;
    plat::CancelCall(told_call);
    told_call = 0;
    std::deque<std::pair<std::function<void(bool)>, bool>> now;
    now.swap(told);  // what these calls send is told at the next turn
    for (auto& [done, reached] : now) done(reached);
}

bool Cnet::save_IPaddr(const char* address, Skeys key) {
    if (!station_address_ok(inet_addr(address))) return false;
    bool added = list.add(address, std::move(key));
    if (added && print) print->refresh_ip_window(&list);
    return added;
}

bool Cnet::replace_IPaddr(const char* address, Skeys key) {
    bool replaced = list.replace(address, std::move(key));
    if (replaced && print) print->refresh_ip_window(&list);
    return replaced;
}

void Cnet::delete_IPaddr(const char* address) {
    if (list.erase(address) && print) print->refresh_ip_window(&list);
}

static_assert(Cnet::SILENT_MS > 3 * Cannounce::LONGEST_MS);

void Cnet::heard_from(uint32_t address, bool announced) { list.heard(address, announced, clock()); }

void Cnet::forget_silent() {
    std::vector<uint32_t> gone = list.silent(clock(), SILENT_MS);
    for (uint32_t a : gone) list.erase(dotted(a).c_str());
    if (!gone.empty() && print) print->refresh_ip_window(&list);
}

int64_t Cnet::start_time() { return clock(); }

void Cnet::await_ack(uint32_t recipient, int64_t started_ms) {
    Waiting message{};
    message.recipient = recipient;
    message.started_ms = started_ms;
    waiting.push_back(std::move(message));
    watch_waiting();
}

bool Cnet::take_waiting(uint32_t from, Waiting* message) {
    for (auto it = waiting.begin(); it != waiting.end(); ++it) {
        // A message no first hop has taken yet cannot have arrived.
        if (it->recipient != from || !it->reached) continue;
        *message = *it;
        waiting.erase(it);
        return true;
    }
    return false;
}

void Cnet::unconfirmed(std::deque<Waiting>::iterator it) {
    std::string line = "Sprava pre " + dotted(it->recipient) + " nebola potvrdena.";
    waiting.erase(it);
    say(line.c_str());
    save_to_file(line.c_str());
}

void Cnet::report_unconfirmed() {
    plat::CancelCall(waiting_call);
    waiting_call = 0;
    const int64_t now = clock();
    while (!waiting.empty() && now - waiting.front().started_ms >= ACK_WAIT_MS) unconfirmed(waiting.begin());
    watch_waiting();
}

// One call at a time waits for the oldest message's time to run out.
void Cnet::watch_waiting() {
    if (waiting_call || waiting.empty()) return;
    const int64_t wait = waiting.front().started_ms + ACK_WAIT_MS - clock();
    waiting_call = plat::CallLater(static_cast<unsigned>(std::clamp<int64_t>(wait, 0, ACK_WAIT_MS)), [this]() {
        waiting_call = 0;
        report_unconfirmed();
    });
}
