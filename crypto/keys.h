#pragma once
#include <NTL/ZZ.h>

// One RSA public key: key[0] the public exponent, key[1] the modulus.
// An exponent of 0 stands for a station the list does not hold.
struct Skeys {
    NTL::ZZ key[2];
};

inline bool operator==(const Skeys& a, const Skeys& b) { return a.key[0] == b.key[0] && a.key[1] == b.key[1]; }
