// The layer a writer seals for the station at 10.0.0.1: the input is the
// plain layer, sealed with the station's public key and handed over from
// 10.0.0.2. What the station does is what the layer asks for: the padding
// (trailing zero bytes) is not part of it; "IP:" and four address bytes ask to
// pass the rest on to that address in whole blocks, "MESS:" and the writer's
// address (bytes the padding took are zeros) to show the text up to its first
// zero byte and acknowledge it to the writer; anything else is a failure.
#include "harness.h"
#include "platform/winapi.h"

namespace {

uint32_t address_at(const std::string& layer, size_t at) {
    std::string four = layer.substr(at, 4);
    four.resize(4, '\0');
    uint32_t a;
    std::memcpy(&a, four.data(), 4);
    return a;
}

void seal_and_send(Crsa* rsa, Sink& sink, const std::string& layer) {
    const int len = static_cast<int>(layer.size());
    std::string message(static_cast<size_t>(rsa->crypted_length(len)), '\0');
    rsa->crypt_padded(layer.data(), len, rsa->get_my_keys(), message.data());
    if (message.compare(0, 3, "ACK") == 0 || message.compare(0, 7, "WELCOME") == 0) return;  // read as those
    const fuzz::Outcome o = fuzz::receive(rsa, sink, message);
    const std::string content = layer.substr(0, layer.find_last_not_of('\0') + 1);

    if (content.size() >= 7 && content.compare(0, 3, "IP:") == 0) {
        const uint32_t next = address_at(content, 3);
        std::string inner = content.substr(7);
        inner.resize((inner.size() + Crsa::CIPHER_BLOCK - 1) / Crsa::CIPHER_BLOCK * Crsa::CIPHER_BLOCK, '\0');
        FUZZ_CHECK(o, o.passed == std::vector<std::string>{"PRENOS: 10.0.0.2 -> 10.0.0.1 -> " + dotted(next)});
        FUZZ_CHECK(o, o.got.size() <= 1 && (o.got.empty() || (o.got[0].to == next && o.got[0].bytes == inner)));
        if (fuzz::reachable(next) && !inner.empty()) FUZZ_CHECK(o, o.got.size() == 1 && o.said.empty());
        if (!station_address_ok(next))  // never dialled: it would reach this host or nobody
            FUZZ_CHECK(o, o.got.empty() && o.said == std::vector<std::string>{"Chyba pri pripojeni na vzdalenu stanicu."});
    } else if (content.compare(0, 5, "MESS:") == 0) {
        const uint32_t writer = address_at(content, 5);
        const std::string text = content.size() > 9 ? content.substr(9) : "";
        const std::string line = dotted(writer) + " -> JA : " + plat::cp1250_to_utf8(text.substr(0, text.find('\0')));
        FUZZ_CHECK(o, o.passed.empty() && o.said.size() >= 2 && o.said.size() <= 3 && o.got.size() <= 1);
        FUZZ_CHECK(o, o.said[o.said.size() - 2] == line && o.said.back().empty());
        if (fuzz::reachable(writer))
            FUZZ_CHECK(o, o.said.size() == 2 && o.got.size() == 1 && o.got[0].to == writer && o.got[0].bytes == "ACK");
        if (!station_address_ok(writer)) FUZZ_CHECK(o, o.said.size() == 3 && o.got.empty());
    } else {
        FUZZ_CHECK(o, o.passed.empty() && o.got.empty());
        FUZZ_CHECK(o, o.said == (std::vector<std::string>{"Prijem dat zlyhal.", ""}));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Crsa* keys[] = {fuzz::keyed(fuzz::NEGATIVE_D_SEED), fuzz::keyed(fuzz::POSITIVE_D_SEED)};
    static Sink sink;
    // Sealed, longer layers would not fit in one message.
    if (size > static_cast<size_t>(Cnet::RECEIVE_MAX / Crsa::CIPHER_BLOCK * Crsa::PLAIN_BLOCK)) return 0;
    for (Crsa* rsa : keys) seal_and_send(rsa, sink, std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
