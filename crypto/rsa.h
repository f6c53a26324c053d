#pragma once
#include "crypto/keys.h"

// The station's one key pair and its block sizes. Buffer operations return a
// new array (caller frees with delete[]) with one uncounted zero byte after the
// content, and store the new length through `len`; the input stays the caller's.
class Crsa {
public:
    // Every station's key size and blocks: a layer is sealed with another
    // station's key and must come out in blocks that station reads.
    static constexpr int KEY_BITS = 512;
    static constexpr int CIPHER_BLOCK = KEY_BITS / 8;
    static constexpr int PLAIN_BLOCK = CIPHER_BLOCK - 1;

    Crsa();
    ~Crsa();
    Crsa(const Crsa&) = delete;
    Crsa& operator=(const Crsa&) = delete;

    void init(int bits, long seed);
    void init_crypto_keys(int bits, int plain_block, long seed);
    bool isPrime(NTL::ZZ n, int trials);
    NTL::ZZ REA(NTL::ZZ a, NTL::ZZ b);
    Skeys get_my_keys();

    char* add_padding(const char* buf, int* len);
    char* delete_padding(const char* buf, int* len);
    char* crypt(const char* buf, int* len, Skeys keys);
    char* crypt(const char* buf, int* len);
    char* decrypt(const char* buf, int* len);

    // For building layers without the padded copy: `len` bytes encrypted as
    // add_padding then crypt would do it, written to `out`, which must hold
    // crypted_length(len) bytes. Returns that length.
    int crypted_length(int len) const;
    int crypt_padded(const char* buf, int len, const Skeys& keys, char* out) const;

private:
    friend struct CrsaInspector;  // lets the tests and benchmarks look inside

    void prepare_crt(const NTL::ZZ& first, const NTL::ZZ& second);

    int key_bits = 0;
    int cipher_block = 0;
    int plain_block = 0;
    NTL::ZZ n;
    NTL::ZZ e;
    NTL::ZZ d;
    // The factors of n and what decryption by the remainder theorem needs;
    // p is 0 when it cannot be used (unkeyed, or p == q).
    NTL::ZZ p, q;
    NTL::ZZ dp, dq;  // d mod (p - 1), d mod (q - 1), both in [0, p - 1) and [0, q - 1)
    NTL::ZZ qinv;    // q^-1 mod p
};
