#include <gtest/gtest.h>

#include "crypto/crsa_insides.h"

namespace {

using NTL::ZZ;
using I = CrsaInspector;

TEST(KeyGen, SeedDeterminesTheKey) {
    Crsa a, b, c;
    a.init_crypto_keys(512, 63, 7);
    b.init_crypto_keys(512, 63, 7);
    c.init_crypto_keys(512, 63, 8);
    EXPECT_EQ(I::e(a), I::e(b));
    EXPECT_EQ(I::n(a), I::n(b));
    EXPECT_EQ(I::d(a), I::d(b));
    EXPECT_NE(I::n(a), I::n(c));
    EXPECT_NE(I::e(a), I::e(c));
}

TEST(IsPrime, KnownPrimesCompositesAndTinyCandidates) {
    // Witnesses are drawn from 0 .. n-1, and 0 fails a prime, so only large
    // primes are certain to pass; key generation only asks about those.
    Crsa r;
    NTL::SetSeed(ZZ(11));
    const ZZ m61 = NTL::power2_ZZ(61) - 1, m89 = NTL::power2_ZZ(89) - 1, m127 = NTL::power2_ZZ(127) - 1;
    for (const ZZ& p : {m61, m89, m127}) EXPECT_TRUE(r.isPrime(p, 100)) << p;
    for (const ZZ& c : {ZZ(9), ZZ(91), ZZ(561), ZZ(1105), m61 * m89, m127 * m127, ZZ(4), NTL::power2_ZZ(40), m127 + 1})
        EXPECT_FALSE(r.isPrime(c, 100)) << c;
    for (long c : {3L, 4L, 9L, 1000L}) EXPECT_TRUE(r.isPrime(ZZ(c), 0)) << c << ": no trials, no doubt";
    // Below 3 any answer will do, but the call must come back (1 would loop
    // forever splitting off powers of two, 0 has no witness range).
    for (long tiny : {0L, 1L, 2L, -7L}) r.isPrime(ZZ(tiny), 100);
}

}  // namespace
