// Taking one onion layer's header off whatever a decryption left.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "onion/layer.h"

#define CHECK(cond)                                                                      \
    do {                                                                                 \
        if (!(cond)) {                                                                   \
            std::fprintf(stderr, "check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
            std::abort();                                                                \
        }                                                                                \
    } while (0)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int n = static_cast<int>(size);
    char* buf = new char[size];  // exactly the input: ASan sees any over-read
    if (size) std::memcpy(buf, data, size);
    int len = n;
    uint32_t address = 0xFFFFFFFF;
    bool last = false;
    std::unique_ptr<char[]> out(Clayer::delete_prefix(buf, &len, &address, &last));

    const bool ip = n >= Clayer::IP_HEADER && std::memcmp(data, "IP:", 3) == 0;
    const bool mess = !ip && n >= Clayer::MESS_HEADER && std::memcmp(data, "MESS:", 5) == 0;
    if (!ip && !mess) {
        CHECK(!out && address == 0);
        return 0;
    }
    const int header = ip ? Clayer::IP_HEADER : Clayer::MESS_HEADER;
    uint32_t named;
    std::memcpy(&named, data + header - 4, 4);
    CHECK(out && last == mess && len == n - header && len >= 0 && address == named);
    CHECK(std::memcmp(out.get(), data + header, static_cast<size_t>(len)) == 0);
    CHECK(out[len] == 0);  // the uncounted zero after the content
    return 0;
}
