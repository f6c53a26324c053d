#pragma once
// A station in one process, without a window or sockets of its own: its panes
// are in memory, its address is whatever it is given. The one fixture of the
// unit tests, the fuzz targets and the micro-benchmarks; free of GoogleTest.
#include <arpa/inet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "app/printout.h"
#include "crypto/crsa_insides.h"
#include "net/net.h"

// The event loop of stations without a window: the sockets they watch and the
// calls they schedule, run on demand by Sink::take (settle) with poll().
class TestLoop : public plat::Toolkit {
public:
    static TestLoop& instance() {
        static TestLoop loop;
        return loop;
    }
    plat::HWND create_control(const char*, const char*, int, int, int, int, plat::HWND, int) override {
        return nullptr;
    }
    plat::HWND create_main(plat::WNDPROC, const char*, int, int) override { return nullptr; }
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
    void settle(unsigned ms) override {
        const auto end = Clock::now() + std::chrono::milliseconds(ms);
        while (busy(end) && Clock::now() < end) turn();
    }
    int run() override { return 0; }
    void quit(int) override {}

private:
    using Clock = std::chrono::steady_clock;
    struct Watch {
        std::function<void(int)> ready;
        bool for_writing;
    };
    struct Call {
        Clock::time_point due;
        std::function<void()> fire;
    };
    bool busy(Clock::time_point end) const {
        for (const auto& [id, c] : calls_)
            if (c.due <= end) return true;
        for (const auto& [fd, w] : watched_)
            if (w.for_writing) return true;
        return false;
    }
    void turn() {
        std::vector<pollfd> fds;
        for (const auto& [fd, w] : watched_) fds.push_back({fd, static_cast<short>(w.for_writing ? POLLOUT : POLLIN), 0});
        poll(fds.data(), fds.size(), 10);
        for (const pollfd& p : fds) {  // a handler may end other watches
            auto it = watched_.find(p.fd);
            if (p.revents && it != watched_.end()) {
                auto ready = it->second.ready;
                ready(p.fd);
            }
        }
        for (auto it = calls_.begin(); it != calls_.end();) {
            if (it->second.due > Clock::now()) {
                ++it;
                continue;
            }
            auto fire = std::move(it->second.fire);
            calls_.erase(it);
            fire();
            it = calls_.begin();  // a call may schedule or cancel others
        }
    }
    std::map<int, Watch> watched_;
    std::map<uintptr_t, Call> calls_;
    uintptr_t next_ = 1;
};

struct TestStation {
    plat::Pane messages, stations, transfers;
    plat::HWND mess_h = &messages, ip_h = &stations, trans_h = &transfers;
    Cprintout print;
    Crsa own_key;  // unused when the key is shared
    Crsa& rsa;
    Cnet net;

    // With a key of its own made from `seed`. Panes that keep no lines cost
    // what a headless station's do, for the benchmarks.
    TestStation(const char* address, long seed, bool keep_lines = true)
        : messages(keep_lines), stations(keep_lines), transfers(keep_lines), rsa(own_key) {
        own_key.init_crypto_keys(Crsa::KEY_BITS, Crsa::PLAIN_BLOCK, seed);
        wire(inet_addr(address));
    }
    // With a key made once and kept by the caller, for a station per input.
    TestStation(uint32_t address, Crsa& key, bool keep_lines = true)
        : messages(keep_lines), stations(keep_lines), transfers(keep_lines), rsa(key) {
        wire(address);
    }
    TestStation(const TestStation&) = delete;
    TestStation& operator=(const TestStation&) = delete;

    std::string name() const { return dotted(net.own_address()); }
    // Lists `other` with its key, as its HELLO would.
    void knows(TestStation& other) { net.stations().add(other.name().c_str(), other.rsa.get_my_keys()); }
    const std::vector<std::string>& lines() const { return messages.lines(); }
    void dump() const {
        for (auto* p : {&messages, &stations, &transfers}) {
            std::fprintf(stderr, "pane:\n");
            for (const auto& l : p->lines()) std::fprintf(stderr, "  |%s|\n", l.c_str());
        }
    }

private:
    void wire(uint32_t address) {
        if (!plat::toolkit()) plat::set_toolkit(&TestLoop::instance());
        print.set(&mess_h, &ip_h, &trans_h);
        net.set_print(&print);
        net.set_rsa(&rsa);
        net.set_own_address(address);
    }
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
    InTempDir(const InTempDir&) = delete;
    InTempDir& operator=(const InTempDir&) = delete;
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
// address a peer names, and never one on 127.0.0.0/8.
class Sink {
public:
    explicit Sink(const char* address = nullptr) {
        only_loopback();
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(NET_PORT);
        a.sin_addr.s_addr = address ? inet_addr(address) : INADDR_ANY;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd_, 64) != 0) {
            std::perror("sink");
            std::_Exit(2);
        }
    }
    ~Sink() { close(fd_); }
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;

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
    // The bytes of the one connection made since the last call.
    std::string one() {
        auto got = take();
        if (got.size() == 1) return got[0].bytes;
        // Appended: GCC 12 at -O2 warns of a false overlap (-Wrestrict) in "<" + std::string.
        return std::string("<").append(std::to_string(got.size())).append(" connections>");
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
    int fd_ = -1;
};
