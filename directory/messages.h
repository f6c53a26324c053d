#pragma once
#include "crypto/keys.h"

// HELLO (134 bytes) and WELCOME (136 bytes): tag, exponent and modulus as
// 64-byte little-endian fields, one final zero byte.
class Cmessages {
public:
    static constexpr int KEY_FIELD = 64;
    static constexpr int HELLO_LEN = 5 + 2 * KEY_FIELD + 1;
    static constexpr int WELCOME_LEN = 7 + 2 * KEY_FIELD + 1;

    static char* create_hello_message(Skeys keys, int* len);
    static char* create_welcome_message(Skeys keys, int* len);
    // Both read the 128 key bytes after the tag; the caller makes sure the
    // buffer holds them.
    static Skeys decode_hello_message(const char* msg);
    static Skeys decode_welcome_message(const char* msg);

    Cmessages() = delete;
};
