#pragma once
// What the fuzz targets share: keys made once, the tests' in-process station
// and its sink for the connections it opens, what one message made a station
// do, and the station list announcements must leave behind.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "net/station_fixture.h"

namespace fuzz {

// Seed 1 gives a negative private exponent, seed 2 a positive one.
constexpr long NEGATIVE_D_SEED = 1, POSITIVE_D_SEED = 2;

inline uint32_t host(int x) { return htonl(0x0A000000u | static_cast<uint32_t>(x & 0xFF)); }
// A host in 10.0.0.0/8, which the tests' network namespace puts on loopback
// and the sink takes connections for (not the network's own address nor its
// broadcast address).
inline bool reachable(uint32_t a) { return (ntohl(a) >> 24) == 10 && (ntohl(a) + 1) % 0x1000000 > 1; }
inline const uint32_t OWN = host(1), PREVIOUS = host(2);
// No station can have these: a host without an address, loopback, multicast, broadcast.
inline bool nowhere(uint32_t a) {
    const uint32_t h = ntohl(a);
    return h >> 24 == 0 || h >> 24 == 127 || h >> 28 == 0xE || h == 0xFFFFFFFFu;
}

// Never freed: one key pair serves the whole run.
inline Crsa* keyed(long seed) {
    auto* r = new Crsa;
    r->init_crypto_keys(Crsa::KEY_BITS, Crsa::PLAIN_BLOCK, seed);
    return r;
}

// A datagram or a connection's message, in a buffer of exactly its size so
// that ASan sees any over-read.
inline void hand(TestStation& st, const std::string& bytes, uint32_t from, bool datagram) {
    std::unique_ptr<char[]> b(new char[bytes.size()]);
    bytes.copy(b.get(), bytes.size());
    const auto handle = datagram ? &Cnet::handle_datagram : &Cnet::handle_message;
    (st.net.*handle)(b.get(), static_cast<int>(bytes.size()), from);
}

// Aborts on a wrong outcome.
[[noreturn]] inline void fail(const char* check, int line) {
    std::fprintf(stderr, "check failed: %s (line %d)\n", check, line);
    std::abort();
}
#define FUZZ_CHECK(...) ((__VA_ARGS__) ? void() : fuzz::fail(#__VA_ARGS__, __LINE__))

// What one connection's message made a fresh station at 10.0.0.1 do.
struct Outcome {
    std::vector<std::string> said, passed;              // its messages and transfers panes
    std::vector<std::pair<uint32_t, std::string>> got;  // the connections it opened: address, bytes
    bool operator==(const Outcome&) const = default;
};

inline Outcome receive(Crsa* rsa, Sink& sink, const std::string& message) {
    TestStation st(OWN, *rsa);
    hand(st, message, PREVIOUS, false);
    Outcome o;
    for (Arrival& a : sink.take()) o.got.emplace_back(a.to, std::move(a.bytes));  // the station's connections end first
    o.said = st.messages.lines();
    o.passed = st.transfers.lines();
    return o;
}

// The station list announcements must leave: newest first, one record per
// address, a new key taking the old one's place, never the station itself.
// A HELLO with a new station or key is answered with the station's WELCOME,
// and changes the list once that is through: never from a host that does not
// answer (outside 10.0.0.0/8, where no route leads), and never with a line.
class Expected {
public:
    // The tag, the exponent and the modulus in 64 bytes each, little-endian, a zero byte.
    explicit Expected(Crsa* rsa) : welcome_("WELCOME" + std::string(129, '\0')) {
        auto* fields = reinterpret_cast<unsigned char*>(welcome_.data() + 7);
        NTL::BytesFromZZ(fields, rsa->get_my_keys().key[0], 64);
        NTL::BytesFromZZ(fields + 64, rsa->get_my_keys().key[1], 64);
    }

    void deliver(TestStation& st, Sink& sink, const std::string& bytes, uint32_t from, bool datagram) {
        hand(st, bytes, from, datagram);
        const bool stranger = from != OWN && !nowhere(from);
        bool answer = false;
        if (stranger && !datagram && bytes.size() >= 136)  // a WELCOME
            add(from, bytes.substr(7, 128));
        else if (stranger && datagram && bytes.rfind("HELLO", 0) == 0)
            answer = bytes.size() >= 134 && reachable(from) && add(from, bytes.substr(5, 128));
        else if (stranger && datagram && bytes.rfind("BYE", 0) == 0)
            std::erase_if(listed_, [from](const auto& r) { return r.first == from; });
        const std::vector<Arrival> got = sink.take();
        FUZZ_CHECK(got.size() == (answer ? 1u : 0u));
        FUZZ_CHECK(!answer || (got[0].to == from && got[0].bytes == welcome_));
        Clist& list = st.net.stations();
        FUZZ_CHECK(list.get_size() == static_cast<int>(listed_.size()));
        FUZZ_CHECK(st.stations.lines().size() == listed_.size());
        for (size_t i = 0; i < listed_.size(); ++i) {
            const std::string name = dotted(listed_[i].first);
            FUZZ_CHECK(list.get_ip(static_cast<int>(i) + 1) == listed_[i].first);
            FUZZ_CHECK(st.stations.lines()[listed_.size() - 1 - i] == name);  // oldest on top
            const Skeys k = list.get_keys(name.c_str());
            const auto* key = reinterpret_cast<const unsigned char*>(listed_[i].second.data());
            FUZZ_CHECK(k.key[0] == NTL::ZZFromBytes(key, 64) && k.key[1] == NTL::ZZFromBytes(key + 64, 64));
        }
        FUZZ_CHECK(st.messages.lines().empty());  // nothing failed, nothing to say
    }

private:
    // True when the list changed: a new station, or a listed one's new key.
    bool add(uint32_t from, const std::string& key) {
        auto it = std::find_if(listed_.begin(), listed_.end(), [from](const auto& r) { return r.first == from; });
        if (it == listed_.end())
            it = listed_.insert(listed_.begin(), {from, key});
        else if (it->second == key)
            return false;
        it->second = key;
        return true;
    }

    std::vector<std::pair<uint32_t, std::string>> listed_;  // address, the key's 128 bytes; newest first
    std::string welcome_;
};

}  // namespace fuzz
