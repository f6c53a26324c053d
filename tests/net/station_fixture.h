#pragma once
// A station in one process, without a window or sockets of its own: its panes
// are in memory, its address is on loopback, its transcript in a temp folder.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>

#include "app/printout.h"
#include "net/net.h"

struct TestStation {
    plat::Pane messages, stations, transfers;
    plat::HWND mess_h = &messages, ip_h = &stations, trans_h = &transfers;
    Cprintout print;
    Crsa rsa;
    Cnet net;

    TestStation(const char* address, long seed) {
        rsa.init_crypto_keys(512, 63, seed);
        print.set(&mess_h, &ip_h, &trans_h);
        net.set_print(&print);
        net.set_rsa(&rsa);
        net.set_own_address(inet_addr(address));
    }
    std::string name() const { return dotted(net.own_address()); }
    // Lists `other` with its key, as its HELLO would.
    void knows(TestStation& other) { net.stations().add(other.name().c_str(), other.rsa.get_my_keys()); }
    const std::vector<std::string>& lines() const { return messages.lines(); }
};

// Runs the test in a fresh folder, where the stations write their transcripts.
class InTempDir : public ::testing::Test {
protected:
    void SetUp() override {
        old_ = std::filesystem::current_path();
        dir_ = std::filesystem::temp_directory_path() /
               ("cibula-test-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
        std::filesystem::current_path(dir_);
    }
    void TearDown() override {
        std::filesystem::current_path(old_);
        std::filesystem::remove_all(dir_);
    }
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
