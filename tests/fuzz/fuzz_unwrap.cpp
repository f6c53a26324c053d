// One connection's message to a station at 127.0.0.1 from 127.0.0.2: mostly
// onion layers to take off and pass on. Each input goes to a station whose
// private exponent is negative and to one whose exponent is positive.
#include "harness.h"
#include "platform/winapi.h"

namespace {

const uint32_t PREVIOUS = fuzz::host(2);

void unwrap(Crsa* rsa, fuzz::Sink& sink, const char* data, int size) {
    TestStation st(fuzz::OWN, *rsa);
    auto packet = fuzz::exact(data, static_cast<size_t>(size));
    st.net.handle_message(packet.get(), size, PREVIOUS);
    const auto got = sink.take();
    const auto& said = st.messages.lines();
    const auto& passed = st.transfers.lines();

    if (size >= 7 && std::memcmp(data, "WELCOME", 7) == 0) {
        FUZZ_CHECK(st, got.empty() && st.net.stations().get_size() == (size >= Cmessages::WELCOME_LEN));
        return;
    }
    if (size >= 3 && std::memcmp(data, "ACK", 3) == 0) {
        FUZZ_CHECK(st, got.empty() && said.size() == 1 && said[0].rfind("DOBA PRENOSU: ", 0) == 0);
        return;
    }
    // What the layer holds: this station's blocks (a short last one completed
    // with zeros) decrypted, the zero bytes that pad the last one dropped, a
    // MESS header cut short by that completed with zeros again.
    std::string blocks(data, static_cast<size_t>(size));
    blocks.resize((blocks.size() + Cnet::CIPHER_BLOCK - 1) / Cnet::CIPHER_BLOCK * Cnet::CIPHER_BLOCK, '\0');
    int n = static_cast<int>(blocks.size());
    std::unique_ptr<char[]> plain(rsa->decrypt(blocks.data(), &n));
    std::unique_ptr<char[]> unpadded(rsa->delete_padding(plain.get(), &n));
    std::string layer(unpadded.get(), static_cast<size_t>(n));
    if (n >= 5 && n < 9 && layer.compare(0, 5, "MESS:") == 0) {
        n = 9;
        layer.resize(9, '\0');
    }
    uint32_t to = 0;
    if (n >= 7 && layer.compare(0, 3, "IP:") == 0) {
        std::memcpy(&to, layer.data() + 3, 4);
        std::string inner = layer.substr(7);
        // The next station reads its layer in whole blocks.
        inner.resize((inner.size() + Cnet::CIPHER_BLOCK - 1) / Cnet::CIPHER_BLOCK * Cnet::CIPHER_BLOCK, '\0');
        FUZZ_CHECK(st, passed == std::vector<std::string>{"PRENOS: 127.0.0.2 -> 127.0.0.1 -> " + dotted(to)});
        FUZZ_CHECK(st, got.size() <= 1);
        if (fuzz::loopback(to) && !inner.empty()) {
            FUZZ_CHECK(st, got.size() == 1 && got[0].to == to && got[0].bytes == inner);
            FUZZ_CHECK(st, said.empty());
        }
    } else if (n >= 9 && layer.compare(0, 5, "MESS:") == 0) {
        std::memcpy(&to, layer.data() + 5, 4);
        const std::string text = plat::cp1250_to_utf8(layer.c_str() + 9);
        FUZZ_CHECK(st, passed.empty() && said.size() >= 2 && said.size() <= 3);
        FUZZ_CHECK(st, said[said.size() - 2] == dotted(to) + " -> JA : " + text && said.back().empty());
        FUZZ_CHECK(st, got.size() <= 1);
        if (fuzz::loopback(to))
            FUZZ_CHECK(st, said.size() == 2 && got.size() == 1 && got[0].to == to && got[0].bytes == "ACK");
    } else {
        FUZZ_CHECK(st, got.empty() && passed.empty());
        FUZZ_CHECK(st, said == (std::vector<std::string>{"Prijem dat zlyhal.", ""}));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Crsa* negative = fuzz::keyed(fuzz::NEGATIVE_D_SEED);
    static Crsa* positive = fuzz::keyed(fuzz::POSITIVE_D_SEED);
    static fuzz::Sink sink;
    static const bool signs = CrsaInspector::sign_of_d(*negative) < 0 && CrsaInspector::sign_of_d(*positive) > 0;
    if (!signs) {
        std::fprintf(stderr, "the two keys no longer have private exponents of both signs\n");
        std::abort();
    }
    // The reader passes on only messages of 1 .. RECEIVE_MAX bytes.
    if (size == 0 || size > Cnet::RECEIVE_MAX) return 0;
    for (Crsa* rsa : {negative, positive}) unwrap(rsa, sink, reinterpret_cast<const char*>(data), static_cast<int>(size));
    return 0;
}
