#pragma once
// A station in one process, without a window or sockets of its own: its panes
// are in memory, its address is whatever it is given. The one fixture of the
// unit tests, the fuzz targets and the micro-benchmarks; free of GoogleTest.
#include <arpa/inet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "app/printout.h"
#include "crypto/crsa_insides.h"
#include "net/net.h"

// The event loop of stations without a window: the sockets they watch and the
// calls they schedule, run on demand by Sink::take (settle) with poll().
class TestLoop : public plat::Toolkit {
public:
    plat::HWND create_control(const char*, const char*, int, int, int, int, plat::HWND, int) override {
        return nullptr;
    }
    plat::HWND create_main(plat::WNDPROC, const char*, int, int) override { return nullptr; }
    int run() override { return 0; }
    void quit(int) override {}
    bool watch(int fd, std::function<void(int)> ready, bool for_writing) override {
        watched_[fd] = {std::move(ready), for_writing};
        return true;
    }
    void unwatch(int fd) override { watched_.erase(fd); }
    uintptr_t call_later(unsigned ms, std::function<void()> fire) override {
        calls_[next_] = {Clock::now() + std::chrono::milliseconds(ms), std::move(fire)};
        return next_++;
    }
    void cancel_call(uintptr_t id) override { calls_.erase(id); }
    // Turns the loop while a connection is being written or a call falls due
    // within `ms`.
    void settle(unsigned ms) override {
        const auto end = Clock::now() + std::chrono::milliseconds(ms);
        auto busy = [&] {
            return std::any_of(calls_.begin(), calls_.end(), [&](const auto& c) { return c.second.first <= end; }) ||
                   std::any_of(watched_.begin(), watched_.end(), [](const auto& w) { return w.second.second; });
        };
        while (busy() && Clock::now() < end) turn();
    }

private:
    using Clock = std::chrono::steady_clock;
    void turn() {
        std::vector<pollfd> fds;
        for (const auto& [fd, w] : watched_) fds.push_back({fd, static_cast<short>(w.second ? POLLOUT : POLLIN), 0});
        poll(fds.data(), fds.size(), 10);
        for (const pollfd& p : fds)  // a handler may end other watches, or its own
            if (auto it = watched_.find(p.fd); p.revents && it != watched_.end()) {
                auto ready = it->second.first;
                ready(p.fd);
            }
        // A call may schedule or cancel others: look again from the start after each.
        auto due = [this] {
            const auto now = Clock::now();
            return std::find_if(calls_.begin(), calls_.end(), [now](const auto& c) { return c.second.first <= now; });
        };
        for (auto it = due(); it != calls_.end(); it = due()) {
            auto fire = std::move(it->second.second);
            calls_.erase(it);
            fire();
        }
    }
    std::map<int, std::pair<std::function<void(int)>, bool>> watched_;  // fd: handler, for writing
    std::map<uintptr_t, std::pair<Clock::time_point, std::function<void()>>> calls_;  // id: when due, what
    uintptr_t next_ = 1;
};

struct TestStation {
    plat::Pane messages, stations, transfers;
    plat::HWND mess_h = &messages, ip_h = &stations, trans_h = &transfers;
    Cprintout print;
    Crsa own_key;  // unused when the key is shared
    Crsa& rsa;
    Cnet net;

    // With a key made once and kept by the caller, for a station per input.
    // Panes that keep no lines cost what a headless station's do, for the
    // benchmarks.
    TestStation(uint32_t address, Crsa& key, bool keep_lines = true)
        : messages(keep_lines), stations(keep_lines), transfers(keep_lines), rsa(key) {
        static TestLoop loop;
        if (!plat::toolkit()) plat::set_toolkit(&loop);
        print.set(&mess_h, &ip_h, &trans_h);
        net.set_print(&print);
        net.set_rsa(&rsa);
        net.set_own_address(address);
    }
    // With a key of its own made from `seed`.
    TestStation(const char* address, long seed, bool keep_lines = true)
        : TestStation(inet_addr(address), own_key, keep_lines) {
        own_key.init_crypto_keys(Crsa::KEY_BITS, Crsa::PLAIN_BLOCK, seed);
    }
    // Lists `other` with its key, as its HELLO would.
    void knows(TestStation& other) {
        net.stations().add(dotted(other.net.own_address()).c_str(), other.rsa.get_my_keys());
    }
    const std::vector<std::string>& lines() const { return messages.lines(); }
};

// While it lives, the process works in a fresh folder of its own, where the
// stations write their transcripts.
class InTempDir {
public:
    InTempDir() : old_(std::filesystem::current_path()) {
        char name[] = "/tmp/cibula-test-XXXXXX";
        if (!mkdtemp(name)) std::abort();
        dir_ = name;
        std::filesystem::current_path(dir_);
    }
    ~InTempDir() {
        std::filesystem::current_path(old_);
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    static std::string read_file(const std::string& name) {
        std::ifstream in(name);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    std::filesystem::path old_, dir_;
};

struct Arrival {
    uint32_t to;  // the address the station dialled
    std::string bytes;
};

// Takes the connections stations open to the station port of one address, or
// of every address. Only inside a network namespace holding nothing but
// loopback, with 10.0.0.0/8 on it (tests/in-netns): a station dials whatever
// address a peer names, and never one on 127.0.0.0/8. A deaf sink's accept
// queue is full from the start, so the kernel drops the SYNs of connections
// to it, which wait out their time as those to a host that is not there.
class Sink {
public:
    explicit Sink(const char* address = nullptr, bool deaf = false) {
        only_loopback();
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{AF_INET, htons(NET_PORT), {address ? inet_addr(address) : INADDR_ANY}, {}};
        filler_ = deaf ? socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd_, deaf ? 0 : 64) != 0 ||
            (deaf && connect(filler_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)) {
            std::perror("sink");
            std::_Exit(2);
        }
    }
    ~Sink() { for (int fd : {fd_, filler_}) if (fd >= 0) close(fd); }

    // Every connection made since the last call, once the stations' loop has
    // finished them all, so all their bytes are here already.
    std::vector<Arrival> take() {
        if (plat::toolkit()) plat::toolkit()->settle(5000);
        std::vector<Arrival> got;
        for (int c; (c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
            timeval limit{2, 0};
            setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            sockaddr_in to{};
            socklen_t len = sizeof to;
            getsockname(c, reinterpret_cast<sockaddr*>(&to), &len);
            Arrival a{to.sin_addr.s_addr, {}};
            char buf[4096];
            for (ssize_t r; (r = recv(c, buf, sizeof buf, 0)) > 0;) a.bytes.append(buf, static_cast<size_t>(r));
            close(c);
            got.push_back(std::move(a));
        }
        return got;
    }

private:
    static void only_loopback() {
        struct if_nameindex* all = if_nameindex();
        for (struct if_nameindex* i = all; i && i->if_index; ++i)
            if (std::strcmp(i->if_name, "lo") != 0) {
                std::fprintf(stderr, "interface %s present: run inside `unshare --net`\n", i->if_name);
                std::_Exit(2);
            }
        if (all) if_freenameindex(all);
    }
    int fd_ = -1, filler_ = -1;
};
