// One datagram, exactly as received, from the station itself, from a station
// it lists and from one it does not.
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Crsa* rsa = fuzz::keyed(fuzz::POSITIVE_D_SEED);
    static Sink sink;
    static Crsa* other = fuzz::keyed(3);
    static const std::string known = [] {
        int len = 0;
        std::unique_ptr<char[]> h(Cmessages::create_hello_message(other->get_my_keys(), &len));
        return std::string(h.get(), static_cast<size_t>(len));
    }();
    if (size > Cnet::DATAGRAM_MAX) return 0;  // the receiver drops these unread
    TestStation st(fuzz::OWN, *rsa);
    fuzz::Expected expected(rsa);
    expected.datagram(st, sink, known.data(), static_cast<int>(known.size()), fuzz::host(2));
    for (int from : {1, 2, 3})
        expected.datagram(st, sink, reinterpret_cast<const char*>(data), static_cast<int>(size), fuzz::host(from));
    return 0;
}
