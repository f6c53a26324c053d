#pragma once
// What the fuzz targets share: keys made once, the tests' in-process station
// and its sink for the connections it opens, what one message made a station
// do, and the station list announcements must leave behind.
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

inline uint32_t host(int x) { return htonl(0x0A000000u | static_cast<uint32_t>(x & 0xFF)); }
// A host in 10.0.0.0/8, which run-fuzzers puts on loopback and the sink takes
// connections for (not the network's own address nor its broadcast address).
inline bool reachable(uint32_t a) { return (ntohl(a) >> 24) == 10 && (ntohl(a) + 1) % 0x1000000 > 1; }
inline const uint32_t OWN = host(1), PREVIOUS = host(2);

// Never freed: one key pair serves the whole run.
inline Crsa* keyed(long seed) {
    auto* r = new Crsa;
    r->init_crypto_keys(Crsa::KEY_BITS, Crsa::PLAIN_BLOCK, seed);
    return r;
}

// The input in a buffer of exactly its size, so that ASan sees any over-read.
inline std::unique_ptr<char[]> exact(const void* data, size_t size) {
    std::unique_ptr<char[]> b(new char[size]);
    if (size) std::memcpy(b.get(), data, size);
    return b;
}

#define FUZZ_CHECK(shown, cond)                                                          \
    do {                                                                                 \
        if (!(cond)) {                                                                   \
            std::fprintf(stderr, "check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
            (shown).dump();                                                              \
            std::abort();                                                                \
        }                                                                                \
    } while (0)

// What one connection's message made a fresh station at 10.0.0.1 do.
struct Outcome {
    std::vector<std::string> said, passed;  // its messages and transfers panes
    std::vector<Arrival> got;               // the connections it opened
    bool operator==(const Outcome& o) const {
        auto same = [](const Arrival& a, const Arrival& b) { return a.to == b.to && a.bytes == b.bytes; };
        return said == o.said && passed == o.passed && std::equal(got.begin(), got.end(), o.got.begin(), o.got.end(), same);
    }
    void dump() const {
        for (const auto& l : said) std::fprintf(stderr, "said |%s|\n", l.c_str());
        for (const auto& l : passed) std::fprintf(stderr, "passed |%s|\n", l.c_str());
        for (const auto& a : got) std::fprintf(stderr, "sent %zu bytes to %s\n", a.bytes.size(), dotted(a.to).c_str());
    }
};

inline Outcome receive(Crsa* rsa, Sink& sink, const std::string& message) {
    TestStation st(OWN, *rsa);
    auto buf = exact(message.data(), message.size());
    st.net.handle_message(buf.get(), static_cast<int>(message.size()), PREVIOUS);
    std::vector<Arrival> got = sink.take();  // the station's connections end first
    return {st.messages.lines(), st.transfers.lines(), std::move(got)};
}

// The station list announcements must leave: newest first, one record per
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
        const bool stranger = from != OWN && station_address_ok(from);
        if (stranger && len >= 5 && std::memcmp(data, "HELLO", 5) == 0) {
            answer = len >= Cmessages::HELLO_LEN && add(from, data + 5);
        } else if (stranger && len >= 3 && std::memcmp(data, "BYE", 3) == 0) {
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
        if (from != OWN && station_address_ok(from) && len >= Cmessages::WELCOME_LEN) add(from, data + 7);
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
    // The key fields after the tag: exponent then modulus, 64 bytes each,
    // little-endian. True when the list changed: a new station, or a listed
    // one's new key.
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
