#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "crypto/crsa_inspector.h"

namespace {

using NTL::ZZ;
using I = CrsaInspector;

// Decrypts `block` (64 bytes) and returns the 63 plain bytes.
std::vector<char> decrypt_block(Crsa& rsa, const char* block) {
    int len = 64;
    std::unique_ptr<char[]> out(rsa.decrypt(block, &len));
    EXPECT_EQ(len, 63);
    return std::vector<char>(out.get(), out.get() + len);
}

// Any 63-byte block is below the 511/512-bit modulus, so each must come back.
void expect_round_trips(Crsa& rsa, unsigned seed) {
    std::mt19937 rng(seed);
    for (int round = 0; round < 10; ++round) {
        std::vector<char> plain(63);
        for (char& c : plain) c = static_cast<char>(rng());
        int len = 63;
        std::unique_ptr<char[]> cipher(rsa.crypt(plain.data(), &len, rsa.get_my_keys()));
        ASSERT_EQ(len, 64);
        EXPECT_EQ(decrypt_block(rsa, cipher.get()), plain) << "round " << round;
    }
}

TEST(Rea, ReturnsCoefficientOfSecondArgument) {
    Crsa r;
    EXPECT_EQ(r.REA(ZZ(10), ZZ(3)), -3);
    EXPECT_EQ(r.REA(ZZ(3), ZZ(10)), 1);
    EXPECT_EQ(r.REA(ZZ(12), ZZ(4)), 1);
    EXPECT_EQ(r.REA(ZZ(7), ZZ(1)), 1);
    NTL::SetSeed(ZZ(5));  // b*y == gcd(a, b) modulo a, also for big operands
    for (int i = 0; i < 20; ++i) {
        ZZ a = NTL::RandomLen_ZZ(300), b = NTL::RandomLen_ZZ(200);
        EXPECT_EQ((b * r.REA(a, b) - NTL::GCD(a, b)) % a, 0) << a << " " << b;
    }
}

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

TEST(KeyGen, KeyHasTheExpectedShapeAndWorks) {
    for (long seed : {2L, 3L}) {
        SCOPED_TRACE(seed);
        Crsa r;
        r.init_crypto_keys(512, 63, seed);
        EXPECT_GE(NTL::NumBits(I::n(r)), 511);
        EXPECT_LE(NTL::NumBits(I::n(r)), 512);
        EXPECT_EQ(NTL::NumBits(I::e(r)), 511);
        EXPECT_TRUE(NTL::ProbPrime(I::e(r)));
        Skeys k = r.get_my_keys();  // a copy: changing it leaves the station's key
        k.key[0] += 1;
        k.key[1] = 0;
        EXPECT_EQ(r.get_my_keys().key[0], I::e(r));
        EXPECT_EQ(r.get_my_keys().key[1], I::n(r));
        expect_round_trips(r, static_cast<unsigned>(seed));
    }
}

// A negative d makes decryption go through a modular inverse, which NTL
// aborts the process on when it does not exist (zero block).
TEST(KeyGen, NegativePrivateExponent) {
    Crsa r;
    long seed = 1;
    while (seed <= 20 && (r.init_crypto_keys(512, 63, seed), NTL::sign(I::d(r)) >= 0)) ++seed;
    ASSERT_LE(seed, 20) << "no seed in 1..20 gave a negative d";
    expect_round_trips(r, 99);
    EXPECT_LT(NTL::sign(I::d(r)), 0);

    std::vector<unsigned char> zero(64, 0), modulus(64, 0);
    NTL::BytesFromZZ(modulus.data(), I::n(r), 64);
    for (const auto& block : {zero, modulus})
        EXPECT_EQ(decrypt_block(r, reinterpret_cast<const char*>(block.data())), std::vector<char>(63, 0));
}

TEST(IsPrime, KnownPrimesAndComposites) {
    // Witnesses are drawn from 0 .. n-1, and 0 fails a prime, so only large
    // primes are certain to pass; key generation only asks about those.
    Crsa r;
    NTL::SetSeed(ZZ(11));
    const ZZ m61 = NTL::power2_ZZ(61) - 1, m89 = NTL::power2_ZZ(89) - 1, m127 = NTL::power2_ZZ(127) - 1;
    for (const ZZ& p : {m61, m89, m127}) EXPECT_TRUE(r.isPrime(p, 100)) << p;
    for (const ZZ& c : {ZZ(9), ZZ(91), ZZ(561), ZZ(1105), m61 * m89, m127 * m127})
        EXPECT_FALSE(r.isPrime(c, 100)) << c;
    for (const ZZ& even : {ZZ(4), ZZ(100), NTL::power2_ZZ(40), m127 + 1}) EXPECT_FALSE(r.isPrime(even, 100)) << even;
}

TEST(IsPrime, ZeroTrialsAndTinyCandidates) {
    Crsa r;
    for (long c : {3L, 4L, 9L, 1000L}) EXPECT_TRUE(r.isPrime(ZZ(c), 0)) << c;
    // Below 3 any answer will do, but the call must come back (1 would loop
    // forever splitting off powers of two, 0 has no witness range).
    for (long tiny : {0L, 1L, 2L, -7L}) r.isPrime(ZZ(tiny), 100);
}

}  // namespace
