// One connection's message to a station at 10.0.0.1 from 10.0.0.2, as it
// comes off the wire: mostly onion layers it cannot read. Whatever the bytes,
// the station does one thing a station may do (list a WELCOME, drop an ACK it
// awaits none for, pass a layer on in whole blocks, show a text and
// acknowledge it, or say that receiving failed), and the same as for the
// message completed with zero bytes to whole blocks: missing bytes are zeros.
// Each input goes to a station whose private exponent is negative and to one
// whose exponent is positive.
#include "harness.h"

static void unwrap(Crsa* rsa, Sink& sink, const std::string& message) {
    const fuzz::Outcome o = fuzz::receive(rsa, sink, message);
    // Nothing was written, so no ACK is awaited: it is dropped unseen.
    const bool silent = message.rfind("WELCOME", 0) == 0 || message.rfind("ACK", 0) == 0;
    FUZZ_CHECK(!silent || o == fuzz::Outcome{});
    if (silent) return;
    std::string whole = message;
    whole.resize((whole.size() + Crsa::CIPHER_BLOCK - 1) / Crsa::CIPHER_BLOCK * Crsa::CIPHER_BLOCK, '\0');
    FUZZ_CHECK(o == fuzz::receive(rsa, sink, whole));
    const std::string relayed = "PRENOS: 10.0.0.2 -> 10.0.0.1 -> ";
    const size_t shown = o.said.size() >= 2 ? o.said[o.said.size() - 2].find(" -> JA : ") : std::string::npos;
    FUZZ_CHECK(o.got.size() <= 1);
    if (!o.passed.empty()) {
        FUZZ_CHECK(o.passed.size() == 1 && o.passed[0].rfind(relayed, 0) == 0);
        const uint32_t next = inet_addr(o.passed[0].c_str() + relayed.size());
        FUZZ_CHECK(o.got.empty() ||
                   (o.said.empty() && o.got[0].first == next && o.got[0].second.size() % Crsa::CIPHER_BLOCK == 0));
    } else if (shown != std::string::npos) {
        const uint32_t writer = inet_addr(o.said[o.said.size() - 2].substr(0, shown).c_str());
        FUZZ_CHECK(o.said.back().empty() && o.said.size() <= 3);
        if (fuzz::reachable(writer))
            FUZZ_CHECK(o.said.size() == 2 && o.got.size() == 1 && o.got[0] == std::pair{writer, std::string("ACK")});
    } else {
        FUZZ_CHECK(o.got.empty() && o.said == (std::vector<std::string>{"Prijem dat zlyhal.", ""}));
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Crsa* keys[] = {fuzz::keyed(fuzz::NEGATIVE_D_SEED), fuzz::keyed(fuzz::POSITIVE_D_SEED)};
    static Sink sink;
    // The reader passes on only messages of 1 .. RECEIVE_MAX bytes.
    if (size == 0 || size > Cnet::RECEIVE_MAX) return 0;
    for (Crsa* rsa : keys) unwrap(rsa, sink, std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
