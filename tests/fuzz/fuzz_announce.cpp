// Announcements reaching one station in turn. The input is a run of records:
// a source byte, a length (two bytes, little-endian, cut to what is left) and
// that many bytes. Bit 7 of the source byte makes the record a connection's
// message (only WELCOME ones are taken) instead of a datagram; its low three
// bits pick 10.0.0.(n + 1), so 0 is the station itself, or with bit 6
// 11.0.0.(n + 1), a host that never answers; 7 picks a source no station can
// have, by bits 3-4: 0.0.0.0 (a host without an address), 127.0.0.1,
// 224.0.0.1, 255.255.255.255.
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Crsa* rsa = fuzz::keyed(fuzz::POSITIVE_D_SEED);
    static Sink sink;
    TestStation st(fuzz::OWN, *rsa);
    fuzz::Expected expected(rsa);
    const uint32_t nowhere[] = {0, htonl(0x7F000001), htonl(0xE0000001), 0xFFFFFFFFu};
    for (size_t at = 0; size - at >= 3;) {
        const uint8_t source = data[at];
        const size_t len = std::min<size_t>(data[at + 1] | data[at + 2] << 8, size - at - 3);
        const std::string body(reinterpret_cast<const char*>(data) + at + 3, len);
        const uint32_t from = (source & 7) == 7 ? nowhere[source >> 3 & 3]
                                                : htonl((source & 0x40 ? 0x0B000001u : 0x0A000001u) + (source & 7));
        at += 3 + len;
        // The receivers drop longer datagrams and messages unread.
        if (source & 0x80 ? body.rfind("WELCOME", 0) == 0 && len <= Cnet::RECEIVE_MAX : len <= Cnet::DATAGRAM_MAX)
            expected.deliver(st, sink, body, from, !(source & 0x80));
    }
    return 0;
}
