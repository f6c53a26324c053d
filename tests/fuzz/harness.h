#pragma once
// What the fuzz targets share: keys made once, the tests' in-process station,
// a sink that takes every connection a station opens, and the station list an
// announcement must leave behind.
#include <arpa/inet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "directory/messages.h"
#include "net/station_fixture.h"

namespace fuzz {

// Seed 1 gives a negative private exponent, seed 2 a positive one.
constexpr long NEGATIVE_D_SEED = 1, POSITIVE_D_SEED = 2;
constexpr int WELCOME_TAG = 7, HELLO_TAG = 5;

inline uint32_t host(int x) { return htonl(0x7F000000u | static_cast<uint32_t>(x & 0xFF)); }
inline bool loopback(uint32_t a) { return (ntohl(a) >> 24) == 127; }
inline const uint32_t OWN = host(1);

// Never freed: one key pair serves the whole run.
inline Crsa* keyed(long seed) {
    auto* r = new Crsa;
    r->init_crypto_keys(512, 63, seed);
    return r;
}

// The input in a buffer of exactly its size, so that ASan sees any over-read.
inline std::unique_ptr<char[]> exact(const void* data, size_t size) {
    std::unique_ptr<char[]> b(new char[size]);
    if (size) std::memcpy(b.get(), data, size);
    return b;
}


#define FUZZ_CHECK(st, cond)                                                             \
    do {                                                                                 \
        if (!(cond)) {                                                                   \
            std::fprintf(stderr, "check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
            (st).dump();                                                                 \
            std::abort();                                                                \
        }                                                                                \
    } while (0)

struct Arrival {
    uint32_t to;  // the address the station dialled
    std::string bytes;
};

// Listens on every loopback address at the station port. It is only ever made
// inside a network namespace that has nothing but loopback: the stations under
// test dial whatever address a peer names.
class Sink {
public:
    Sink() {
        struct if_nameindex* all = if_nameindex();
        for (struct if_nameindex* i = all; i && i->if_index; ++i)
            if (std::strcmp(i->if_name, "lo") != 0) {
                std::fprintf(stderr, "interface %s present: run inside `unshare --net`\n", i->if_name);
                std::_Exit(2);
            }
        if (all) if_freenameindex(all);
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(NET_PORT);
        if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd_, 64) != 0) {
            std::perror("sink");
            std::_Exit(2);
        }
    }
    // Every connection made since the last call; the station has closed each
    // before its handler returned, so all their bytes are here already.
    std::vector<Arrival> take() {
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
    int fd_ = -1;
};

// The station list an announcement must leave: newest first, one record per
// address, a new key taking the old one's place, never the station itself.
class Expected {
public:
    explicit Expected(Crsa* rsa) {
        int len = 0;
        std::unique_ptr<char[]> w(Cmessages::create_welcome_message(rsa->get_my_keys(), &len));
        welcome_.assign(w.get(), static_cast<size_t>(len));
    }

    void datagram(TestStation& st, Sink& sink, const char* data, int len, uint32_t from) {
        auto buf = exact(data, static_cast<size_t>(len));
        st.net.handle_datagram(buf.get(), len, from);
        bool answer = false;
        if (from != OWN && len >= 5 && std::memcmp(data, "HELLO", 5) == 0) {
            answer = len >= Cmessages::HELLO_LEN && add(from, data + HELLO_TAG);
        } else if (from != OWN && len >= 3 && std::memcmp(data, "BYE", 3) == 0) {
            std::erase_if(listed_, [from](const Record& r) { return r.address == from; });
        }
        auto got = sink.take();
        FUZZ_CHECK(st, got.size() == (answer ? 1u : 0u));
        FUZZ_CHECK(st, !answer || (got[0].to == from && got[0].bytes == welcome_));
        check(st);
    }

    void message(TestStation& st, Sink& sink, const char* data, int len, uint32_t from) {
        auto buf = exact(data, static_cast<size_t>(len));
        st.net.handle_message(buf.get(), len, from);
        if (from != OWN && len >= Cmessages::WELCOME_LEN) add(from, data + WELCOME_TAG);
        FUZZ_CHECK(st, sink.take().empty());
        check(st);
    }

    void check(TestStation& st) const {
        Clist& list = st.net.stations();
        FUZZ_CHECK(st, list.get_size() == static_cast<int>(listed_.size()));
        FUZZ_CHECK(st, st.stations.lines().size() == listed_.size());
        for (size_t i = 0; i < listed_.size(); ++i) {
            std::string name = dotted(listed_[i].address);
            FUZZ_CHECK(st, list.get_ip(static_cast<int>(i) + 1) == listed_[i].address);
            FUZZ_CHECK(st, st.stations.lines()[listed_.size() - 1 - i] == name);  // oldest on top
            Skeys k = list.get_keys(name.c_str());
            FUZZ_CHECK(st, k.key[0] == listed_[i].e && k.key[1] == listed_[i].n);
        }
        FUZZ_CHECK(st, st.messages.lines().empty());  // nothing failed, nothing to say
    }

private:
    struct Record {
        uint32_t address;
        NTL::ZZ e, n;
    };
    // The key fields: exponent then modulus, 64 bytes each, little-endian.
    // True when the list changed: a new station, or a listed one's new key.
    bool add(uint32_t from, const char* key) {
        const auto* k = reinterpret_cast<const unsigned char*>(key);
        Record fresh{from, NTL::ZZFromBytes(k, 64), NTL::ZZFromBytes(k + 64, 64)};
        for (Record& r : listed_) {
            if (r.address != from) continue;
            if (r.e == fresh.e && r.n == fresh.n) return false;
            r = fresh;
            return true;
        }
        listed_.insert(listed_.begin(), fresh);
        return true;
    }

    std::vector<Record> listed_;
    std::string welcome_;
};

}  // namespace fuzz
