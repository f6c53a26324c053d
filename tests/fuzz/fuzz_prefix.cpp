// The layer a writer seals for the station at 10.0.0.1: the input is the
// plain layer, sealed with the station's public key and handed over from
// 10.0.0.2. What the station does is what the layer asks for: the padding
// (trailing zero bytes) is not part of it; "IP:" and four address bytes ask to
// pass the rest on to that address in whole blocks, "MESS:" and the writer's
// address (bytes the padding took are zeros) to show the text up to its first
// zero byte and acknowledge it to the writer; anything else is a failure.
#include "harness.h"
#include "platform/winapi.h"

static void seal_and_send(Crsa* rsa, Sink& sink, const std::string& layer) {
    const int len = static_cast<int>(layer.size());
    std::string message(static_cast<size_t>(rsa->crypted_length(len)), '\0');
    rsa->crypt_padded(layer.data(), len, rsa->get_my_keys(), message.data());
    if (message.rfind("ACK", 0) == 0 || message.rfind("WELCOME", 0) == 0) return;  // read as those
    const fuzz::Outcome o = fuzz::receive(rsa, sink, message);
    const std::string content = layer.substr(0, layer.find_last_not_of('\0') + 1);
    const bool ip = content.size() >= 7 && content.rfind("IP:", 0) == 0, mess = content.rfind("MESS:", 0) == 0;
    const std::string failed = "Chyba pri pripojeni na vzdalenu stanicu.";
    uint32_t to = 0;  // the next hop or the writer, zeros where the layer ends first
    if (ip || mess) std::memcpy(&to, content.data() + (ip ? 3 : 5), std::min<size_t>(4, content.size() - (ip ? 3 : 5)));
    if (ip) {
        std::string inner = content.substr(7);
        inner.resize((inner.size() + Crsa::CIPHER_BLOCK - 1) / Crsa::CIPHER_BLOCK * Crsa::CIPHER_BLOCK, '\0');
        FUZZ_CHECK(o.passed == std::vector<std::string>{"PRENOS: 10.0.0.2 -> 10.0.0.1 -> " + dotted(to)});
        FUZZ_CHECK(o.got.size() <= 1 && (o.got.empty() || o.got[0] == std::pair{to, inner}));
        if (fuzz::reachable(to) && !inner.empty()) FUZZ_CHECK(o.got.size() == 1 && o.said.empty());
        // Never dialled: it would reach this host or nobody.
        if (fuzz::nowhere(to)) FUZZ_CHECK(o.got.empty() && o.said == std::vector<std::string>{failed});
    } else if (mess) {
        const std::string text = content.size() > 9 ? content.substr(9) : "";
        const std::string line = dotted(to) + " -> JA : " + plat::cp1250_to_utf8(text.substr(0, text.find('\0')));
        FUZZ_CHECK(o.passed.empty() && o.said.size() >= 2 && o.said.size() <= 3 && o.got.size() <= 1);
        FUZZ_CHECK(o.said[o.said.size() - 2] == line && o.said.back().empty());
        if (fuzz::reachable(to))
            FUZZ_CHECK(o.said.size() == 2 && o.got.size() == 1 && o.got[0] == std::pair{to, std::string("ACK")});
        if (fuzz::nowhere(to)) FUZZ_CHECK(o.said.size() == 3 && o.said[0] == failed && o.got.empty());
    } else {
        FUZZ_CHECK(o.passed.empty() && o.got.empty() && o.said == (std::vector<std::string>{"Prijem dat zlyhal.", ""}));
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Crsa* keys[] = {fuzz::keyed(fuzz::NEGATIVE_D_SEED), fuzz::keyed(fuzz::POSITIVE_D_SEED)};
    static Sink sink;
    // Sealed, longer layers would not fit in one message.
    if (size > static_cast<size_t>(Cnet::RECEIVE_MAX / Crsa::CIPHER_BLOCK * Crsa::PLAIN_BLOCK)) return 0;
    for (Crsa* rsa : keys) seal_and_send(rsa, sink, std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
