#pragma once
// A station in one process, without a window or sockets of its own: its panes
// are in memory, its address is whatever it is given. The one fixture of the
// unit tests, the fuzz targets and the micro-benchmarks; free of GoogleTest.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>

#include "app/printout.h"
#include "crypto/crsa_inspector.h"
#include "net/net.h"

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
        own_key.init_crypto_keys(512, 63, seed);
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
        static std::atomic<int> made{0};
        dir_ = std::filesystem::temp_directory_path() /
               ("cibula-test-" + std::to_string(getpid()) + "-" + std::to_string(++made));
        std::filesystem::create_directories(dir_);
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
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

private:
    std::filesystem::path old_, dir_;
};

// Listens on address:10012 (loopback only) and collects what one connection
// carries until the peer closes.
class Catcher {
public:
    explicit Catcher(const char* address) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(NET_PORT);
        a.sin_addr.s_addr = inet_addr(address);
        bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd_, 4) == 0;
        got_ = std::async(std::launch::async, [this] { return take(); });
    }
    ~Catcher() {
        shutdown(fd_, SHUT_RDWR);
        close(fd_);
    }
    bool bound() const { return bound_; }
    std::string bytes() {
        if (got_.wait_for(std::chrono::seconds(5)) != std::future_status::ready) return "<none>";
        return got_.get();
    }

private:
    std::string take() {
        if (!bound_) return "<unbound>";
        int c = accept(fd_, nullptr, nullptr);
        if (c < 0) return "<none>";
        std::string all;
        char buf[4096];
        ssize_t r;
        while ((r = recv(c, buf, sizeof buf, 0)) > 0) all.append(buf, static_cast<size_t>(r));
        close(c);
        return all;
    }
    int fd_ = -1;
    bool bound_ = false;
    std::future<std::string> got_;
};
