#include "directory/messages.h"

#include <cstring>
#include <memory>

namespace {

char* build(const char* tag, const Skeys& keys, int* len) {
    const size_t t = std::strlen(tag);
    const int total = static_cast<int>(t) + 2 * Cmessages::KEY_FIELD + 1;
    // Allocated one byte longer than counted, like every other buffer.
    std::unique_ptr<char[]> out(new char[static_cast<size_t>(total) + 1]());
    std::memcpy(out.get(), tag, t);
    auto* key_bytes = reinterpret_cast<unsigned char*>(out.get() + t);
    NTL::BytesFromZZ(key_bytes, keys.key[0], Cmessages::KEY_FIELD);
    NTL::BytesFromZZ(key_bytes + Cmessages::KEY_FIELD, keys.key[1], Cmessages::KEY_FIELD);
    *len = total;
    return out.release();
}

Skeys decode(const char* msg, size_t tag_len) {
    Skeys k;
    const auto* key_bytes = reinterpret_cast<const unsigned char*>(msg + tag_len);
    k.key[0] = NTL::ZZFromBytes(key_bytes, Cmessages::KEY_FIELD);
    k.key[1] = NTL::ZZFromBytes(key_bytes + Cmessages::KEY_FIELD, Cmessages::KEY_FIELD);
    return k;
}

}  // namespace

char* Cmessages::create_hello_message(Skeys keys, int* len) { return build("HELLO", keys, len); }

char* Cmessages::create_welcome_message(Skeys keys, int* len) { return build("WELCOME", keys, len); }

Skeys Cmessages::decode_hello_message(const char* msg) { return decode(msg, 5); }

Skeys Cmessages::decode_welcome_message(const char* msg) { return decode(msg, 7); }
