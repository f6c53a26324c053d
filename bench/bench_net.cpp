// Small socket tools for the LAN benchmarks, run inside the test namespaces.
// Every time printed is CLOCK_MONOTONIC in nanoseconds, the clock Python's
// time.monotonic() reads, so that the driver can compare times across
// namespaces (they share the clock).
//
//   bench_net serve PORT                  accept, read to EOF, close; prints "eof T TA"
//                                         (TA: when accept returned)
//   bench_net ccs ADDR PORT COUNT SIZE GAP_US
//                                         COUNT times connect-send-close as a station
//                                         sends; prints "ccs T0 T1 TC TW TS": before
//                                         socket(), after close(), connect() returned,
//                                         connected, the last byte sent
//   bench_net udplisten PORT              prints "udp T SOURCE HEX" per datagram
//   bench_net ping PORT                   one broadcast datagram "PING", then exits
//   bench_net relayload RELAY PORT PACKET_HEX SECONDS WINDOW
//                                         sends the packet's bytes to RELAY over and over
//                                         (one connection each) and sinks what comes back
//                                         on PORT, at most WINDOW packets in flight;
//                                         prints "sent T" and "back T" lines
//   bench_net forward PORT NEXT NEXT_PORT a relay without crypto: reads each connection
//                                         to EOF and sends the bytes on to NEXT, one
//                                         connection each, as a station relays; prints nothing
//
// Connecting, sending and closing follow net/net.cpp: a non-blocking socket,
// poll for the connection, send everything, close.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// steady_clock is CLOCK_MONOTONIC on Linux.
long long now_ns() { return std::chrono::steady_clock::now().time_since_epoch() / std::chrono::nanoseconds(1); }

sockaddr_in address_of(const char* ip, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = ip ? inet_addr(ip) : htonl(INADDR_ANY);
    return a;
}

// A socket of `type` bound to `port` on every address; exits when it cannot be.
int bound(int type, int port) {
    int s = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a = address_of(nullptr, port);
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        std::perror("bench_net: bind");
        std::exit(1);
    }
    return s;
}

int listener(int port, int backlog) {
    int s = bound(SOCK_STREAM, port);
    listen(s, backlog);
    return s;
}

// One connection as a station makes it; false when it could not. `at`, when
// given, gets the times connect() returned, the connect was done and the last
// byte was sent.
bool connect_send_close(const sockaddr_in& to, const char* data, size_t size, long long* at = nullptr) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    bool ok = true;
    long long unused[3];
    if (!at) at = unused;
    int r = connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    at[0] = now_ns();
    if (r != 0) {
        ok = errno == EINPROGRESS;
        pollfd p{s, POLLOUT, 0};
        if (ok) ok = poll(&p, 1, 3000) == 1;
        int err = 0;
        socklen_t len = sizeof err;
        if (ok) ok = getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
    }
    at[1] = now_ns();
    size_t sent = 0;
    while (ok && sent < size) {
        ssize_t r = send(s, data + sent, size - sent, MSG_NOSIGNAL);
        if (r > 0) {
            sent += static_cast<size_t>(r);
        } else if (r < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{s, POLLOUT, 0};
            ok = poll(&p, 1, 3000) == 1;
        } else {
            ok = false;
        }
    }
    at[2] = now_ns();
    close(s);
    return ok;
}

// Accepts connections on `ls` and reads each to EOF; `done` gets the time of
// each EOF and of its accept. Ends when accept fails once `stop` is set.
template <class Done>
void sink(int ls, const std::atomic<bool>& stop, Done done) {
    char buf[4096];
    for (;;) {
        int c = accept4(ls, nullptr, nullptr, SOCK_CLOEXEC);
        long long accepted = now_ns();
        if (c < 0) {
            if (stop) return;
            continue;
        }
        for (ssize_t r = 1; r > 0 || (r < 0 && errno == EINTR);) r = recv(c, buf, sizeof buf, 0);
        long long t = now_ns();
        close(c);
        done(t, accepted);
    }
}

int serve(int port) {
    std::atomic<bool> never{false};
    sink(listener(port, 64), never, [](long long t, long long accepted) {
        std::printf("eof %lld %lld\n", t, accepted);
        std::fflush(stdout);
    });
    return 0;
}

int ccs(const char* ip, int port, int count, int size, int gap_us) {
    sockaddr_in to = address_of(ip, port);
    std::string data(static_cast<size_t>(size), 'x');
    for (int i = 0; i < count; ++i) {
        long long t0 = now_ns(), at[3];
        bool ok = connect_send_close(to, data.data(), data.size(), at);
        long long t1 = now_ns();
        std::printf("%s %lld %lld %lld %lld %lld\n", ok ? "ccs" : "fail", t0, t1, at[0], at[1], at[2]);
        if (gap_us > 0) usleep(static_cast<useconds_t>(gap_us));
    }
    std::fflush(stdout);
    return 0;
}

int udplisten(int port) {
    int s = bound(SOCK_DGRAM, port);
    std::printf("ready\n");
    std::fflush(stdout);
    char buf[2048];
    for (;;) {
        sockaddr_in from{};
        socklen_t fl = sizeof from;
        ssize_t r = recvfrom(s, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fl);
        long long t = now_ns();
        if (r <= 0) continue;
        std::printf("udp %lld %s ", t, inet_ntoa(from.sin_addr));
        for (ssize_t i = 0; i < r; ++i) std::printf("%02x", static_cast<unsigned char>(buf[i]));
        std::printf("\n");
        std::fflush(stdout);
    }
}

int ping(int port) {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    sockaddr_in to = address_of("255.255.255.255", port);
    return sendto(s, "PING", 4, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) == 4 ? 0 : 1;
}

// The floor of a relay's work per packet: the station's path (accept, read the
// connection to EOF within its bound, connect, send, close) without the station
// and its cryptography. It keeps its own connect and send, as a station makes them.
int forward(int port, const char* next, int next_port) {
    int s = listener(port, SOMAXCONN);  // as large as the station's
    sockaddr_in to = address_of(next, next_port);
    std::vector<char> buf(2501);
    for (;;) {
        int c = accept4(s, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) continue;
        size_t total = 0;
        for (;;) {
            ssize_t r = recv(c, buf.data() + total, buf.size() - total, 0);
            if (r > 0 && (total += static_cast<size_t>(r)) < buf.size()) continue;
            if (r < 0 && errno == EINTR) continue;
            break;
        }
        close(c);
        if (total > 0) connect_send_close(to, buf.data(), total);
    }
}

int relayload(const char* relay, int port, const std::string& hex, double seconds, int window) {
    std::string packet;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        packet += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    int ls = listener(port, 64);
    std::mutex m;
    std::condition_variable cv;
    long long sent = 0, back = 0;
    std::vector<long long> sent_t, back_t;
    sent_t.reserve(1 << 20);
    back_t.reserve(1 << 20);
    std::atomic<bool> stop{false};

    std::thread sinking([&] {
        sink(ls, stop, [&](long long t, long long) {
            std::lock_guard<std::mutex> g(m);
            ++back;
            back_t.push_back(t);
            cv.notify_all();
        });
    });

    sockaddr_in to = address_of(relay, port);
    const long long end = now_ns() + static_cast<long long>(seconds * 1e9);
    while (now_ns() < end) {
        {
            std::unique_lock<std::mutex> l(m);
            // Keeps the relay's queue short of its listen backlog: a full
            // backlog drops SYNs, and a dropped SYN costs a second's retry.
            if (!cv.wait_for(l, std::chrono::milliseconds(200), [&] { return sent - back < window; }))
                continue;
        }
        long long t = now_ns();
        if (!connect_send_close(to, packet.data(), packet.size())) continue;
        std::lock_guard<std::mutex> g(m);
        ++sent;
        sent_t.push_back(t);
    }
    // Lets the last packets come back, then ends the sink.
    {
        std::unique_lock<std::mutex> l(m);
        cv.wait_for(l, std::chrono::seconds(2), [&] { return back >= sent; });
    }
    stop = true;
    shutdown(ls, SHUT_RDWR);
    close(ls);
    sinking.join();
    for (long long t : sent_t) std::printf("sent %lld\n", t);
    for (long long t : back_t) std::printf("back %lld\n", t);
    std::fflush(stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "serve" && argc == 3) return serve(std::atoi(argv[2]));
    if (mode == "ccs" && argc == 7)
        return ccs(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]), std::atoi(argv[6]));
    if (mode == "udplisten" && argc == 3) return udplisten(std::atoi(argv[2]));
    if (mode == "ping" && argc == 3) return ping(std::atoi(argv[2]));
    if (mode == "forward" && argc == 5) return forward(std::atoi(argv[2]), argv[3], std::atoi(argv[4]));
    if (mode == "relayload" && argc == 7)
        return relayload(argv[2], std::atoi(argv[3]), argv[4], std::atof(argv[5]), std::atoi(argv[6]));
    std::fprintf(stderr, "usage: see the comment at the top of bench_net.cpp\n");
    return 2;
}
