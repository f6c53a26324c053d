#pragma once
#include "crypto/keys.h"

// The station's one key pair and its block sizes. Buffer operations return a
// new array (caller frees with delete[]) with one uncounted zero byte after the
// content, and store the new length through `len`; the input stays the caller's.
class Crsa {
public:
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

private:
    friend struct CrsaInspector;  // lets the tests look at d

    int key_bits = 0;
    int cipher_block = 0;
    int plain_block = 0;
    NTL::ZZ n;
    NTL::ZZ e;
    NTL::ZZ d;
};
