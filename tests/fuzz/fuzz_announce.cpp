// Announcements reaching one station in turn. The input is a run of records:
// a source byte, a length (two bytes, little-endian, cut to what is left) and
// that many bytes. Bit 7 of the source byte makes the record a connection's
// message (only WELCOME ones are taken) instead of a datagram; its low three
// bits pick 10.0.0.(n + 1), so 0 is the station itself, and 7 picks 0.0.0.0,
// the source of a host without an address.
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Crsa* rsa = fuzz::keyed(fuzz::POSITIVE_D_SEED);
    static Sink sink;
    TestStation st(fuzz::OWN, *rsa);
    fuzz::Expected expected(rsa);
    const char* p = reinterpret_cast<const char*>(data);
    size_t at = 0;
    while (size - at >= 3) {
        const uint8_t source = data[at];
        size_t len = std::min<size_t>(data[at + 1] | data[at + 2] << 8, size - at - 3);
        const char* body = p + at + 3;
        at += 3 + len;
        const uint32_t from = (source & 7) == 7 ? 0 : fuzz::host((source & 7) + 1);
        if (!(source & 0x80)) {
            // Longer datagrams are dropped by the receiver before any handler.
            if (len <= Cnet::DATAGRAM_MAX) expected.datagram(st, sink, body, static_cast<int>(len), from);
        } else if (len >= 7 && std::memcmp(body, "WELCOME", 7) == 0 && len <= Cnet::RECEIVE_MAX) {
            expected.message(st, sink, body, static_cast<int>(len), from);
        }
    }
    return 0;
}
