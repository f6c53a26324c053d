#include "net/net.h"

#include "net/announce.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace {

const auto g_started = std::chrono::steady_clock::now();

// Waits until fd is ready for `events` or the deadline passes.
bool wait_ready(int fd, short events, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) return false;
        pollfd p{fd, events, 0};
        int r = poll(&p, 1, static_cast<int>(left));
        if (r > 0) return true;
        if (r < 0 && errno != EINTR) return false;
    }
}

bool connect_within(int s, const sockaddr_in& to, std::chrono::steady_clock::time_point deadline) {
    if (connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) return true;
    if (errno != EINPROGRESS) return false;
    if (!wait_ready(s, POLLOUT, deadline)) return false;
    int err = 0;
    socklen_t len = sizeof err;
    return getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
}

// Sends every byte, or reports that it could not.
bool send_all(int s, const char* data, int length, std::chrono::steady_clock::time_point deadline) {
    if (length <= 0) return false;
    int sent = 0;
    while (sent < length) {
        ssize_t r = send(s, data + sent, static_cast<size_t>(length - sent), MSG_NOSIGNAL);
        if (r > 0) {
            sent += static_cast<int>(r);
        } else if (r < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!wait_ready(s, POLLOUT, deadline)) return false;
        } else {
            return false;
        }
    }
    return true;
}

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
    // Read afresh each time: the host may get its address after the station
    // started, or another one later. Without one it is 0.0.0.0.
    my_IPaddr = 0;
    // The source address the kernel picks for our broadcasts is the one the
    // other stations see, and the one our own broadcasts come back from.
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s >= 0) {
        int on = 1;
        setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        sockaddr_in to = station_address(INADDR_BROADCAST);
        sockaddr_in me{};
        socklen_t len = sizeof me;
        if (connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
            getsockname(s, reinterpret_cast<sockaddr*>(&me), &len) == 0 &&
            station_address_ok(me.sin_addr.s_addr)) {
            my_IPaddr = me.sin_addr.s_addr;
            close(s);
            return;
        }
        close(s);
    }
    ifaddrs* all = nullptr;
    if (getifaddrs(&all) != 0) return;
    for (ifaddrs* i = all; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        if (!(i->ifa_flags & IFF_UP) || (i->ifa_flags & IFF_LOOPBACK)) continue;
        uint32_t a = reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr;
        if (station_address_ok(a)) {
            my_IPaddr = a;
            break;
        }
    }
    freeifaddrs(all);
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

    sock_unicast = plat::Socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    // A station restarted at once must be able to bind its port again.
    if (sock_unicast >= 0) setsockopt(sock_unicast, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(sock_unicast, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0)
        return fail("Chyba pri napojeni soketu na rozsah adries. UNICAST");
    if (plat::AsyncSelect(sock_unicast, hwnd ? *hwnd : nullptr, WM_UNICAST, plat::FD_ACCEPT) == -1)
        return fail("Nepodarilo sa pripravit asynchrone pocuvanie soketu. UNICAST");
    sock_broadcast = plat::Socket(AF_INET, SOCK_DGRAM, 0);
    if (bind(sock_broadcast, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0)
        return fail("Chyba pri napojeni soketu na rozsah adries. BROADCAST");
    if (plat::AsyncSelect(sock_broadcast, hwnd ? *hwnd : nullptr, WM_BROADCAST, plat::FD_READ) == -1)
        return fail("Nepodarilo sa pripravit asynchronne pocuvanie soketu. BROADCAST");
    // A backlog of only 20 dropped connections when many stations sent at
    // once; a dropped connect stalls its sender and the stalls spread.
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
        sockaddr_in to = station_address(INADDR_BROADCAST);
        if (sendto(s, data, static_cast<size_t>(length > 0 ? length : 0), 0,
                   reinterpret_cast<sockaddr*>(&to), sizeof to) == -1)
            say("BROADCAST data sa nepodarilo odoslat.");
    }
    if (s >= 0) close(s);
}

bool Cnet::send_unicast(const char* data, const char* address, int length) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0) {
        say("Socket sa nepodarilo vytvorit.");
        return false;
    }
    // Bounded, so that an unreachable station cannot hold the window for long.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WAIT_MS);
    sockaddr_in to = station_address(inet_addr(address));
    bool sent = false;
    if (!connect_within(s, to, deadline))
        say("Chyba pri pripojeni na vzdalenu stanicu.");
    else if (!(sent = send_all(s, data, length, deadline)))
        say("Doslo k chybe pri prenose.");
    close(s);
    return sent;
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

void Cnet::start_time() { time_start = clock(); }

int64_t Cnet::stop_time() {
    time_stop = clock();
    return time_stop - time_start;
}

void Cnet::await_ack(uint32_t recipient) { waiting.push_back({recipient, time_start}); }

bool Cnet::take_waiting(uint32_t from, Waiting* message) {
    for (auto it = waiting.begin(); it != waiting.end(); ++it) {
        if (it->recipient != from) continue;
        *message = *it;
        waiting.erase(it);
        return true;
    }
    return false;
}
