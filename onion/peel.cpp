#include "onion/peel.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "onion/layer.h"

namespace {

// A copy of `size` bytes of `data` (which has *length) completed with zero
// bytes, plus the uncounted zero byte.
char* zero_completed(const char* data, int* length, int size) {
    char* out = new char[static_cast<size_t>(size) + 1]();
    std::memcpy(out, data, static_cast<size_t>(std::min(*length, size)));
    *length = size;
    return out;
}

}  // namespace

char* peel_layer(Crsa& rsa, const char* data, int* length, uint32_t* address, bool* last) {
    // A short last block decrypts as if completed with the zeros a relay
    // that does not restore them left off.
    std::unique_ptr<char[]> decrypted(rsa.decrypt(data, length));
    char* unpadded = rsa.delete_padding(decrypted.get(), length);
    // Likewise an empty text whose writer's address ends in zero octets
    // (x.y.z.0 on a /23) loses those octets: they were zeros too.
    if (*length >= 5 && *length < Clayer::MESS_HEADER && std::memcmp(unpadded, "MESS:", 5) == 0) {
        std::unique_ptr<char[]> short_layer(unpadded);
        unpadded = zero_completed(short_layer.get(), length, Clayer::MESS_HEADER);
    }
    std::unique_ptr<char[]> inner(Clayer::delete_prefix(unpadded, length, address, last));
    if (!inner || *last) return inner.release();
    // Unpadding also ate any zero bytes that ended the inner ciphertext; the
    // next station needs its layer whole, in full blocks.
    int whole = (*length + Crsa::CIPHER_BLOCK - 1) / Crsa::CIPHER_BLOCK * Crsa::CIPHER_BLOCK;
    if (whole != *length) inner.reset(zero_completed(inner.get(), length, whole));
    return inner.release();
}
