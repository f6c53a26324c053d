// Key pairs of both signs of the private exponent d, over the blocks a peer
// can send; padding; the prime test key generation relies on.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "crypto/crsa_insides.h"

using NTL::ZZ;
using I = CrsaInspector;

// Runs a buffer operation on a copy of exactly `in`'s size, so that ASan sees
// any over-read, and checks the uncounted zero byte after the result.
template <class Op>
static std::string through(const std::string& in, Op op) {
    std::unique_ptr<char[]> src(new char[in.size()]);
    in.copy(src.get(), in.size());
    int len = static_cast<int>(in.size());
    std::unique_ptr<char[]> out(op(src.get(), &len));
    EXPECT_EQ(out[len], 0);
    return std::string(out.get(), static_cast<size_t>(len));
}

static std::string le(const ZZ& v, long width) {
    std::string b(static_cast<size_t>(width), '\0');
    NTL::BytesFromZZ(reinterpret_cast<unsigned char*>(b.data()), v, width);
    return b;
}

TEST(Rsa, BlocksEncryptAsTextbookRsaAndDecryptByFactorsAsTheFullPower) {
    const struct { long seed; int d_sign; } keys[] = {{1, -1}, {2, 1}, {4, -1}, {5, 1}};
    for (const auto& key : keys) {
        SCOPED_TRACE(key.seed);
        Crsa r, again;
        r.init_crypto_keys(Crsa::KEY_BITS, Crsa::PLAIN_BLOCK, key.seed);
        again.init_crypto_keys(Crsa::KEY_BITS, Crsa::PLAIN_BLOCK, key.seed);
        const ZZ &n = I::n(r), &e = I::e(r), &d = I::d(r), &p = I::p(r), &q = I::q(r);
        ASSERT_EQ(NTL::sign(d), key.d_sign);
        ASSERT_EQ(I::n(again), n) << "the seed alone makes the key";
        ASSERT_EQ(p * q, n) << "the factors are kept for decryption";
        NTL::SetSeed(ZZ(key.seed));
        // The edges of [0, n), the largest plain block, multiples of either
        // factor, blocks at or above n, and last q, whose top half is zeros.
        const ZZ blocks[] = {ZZ(0), ZZ(1), n - 1, NTL::power2_ZZ(504) - 1, p * NTL::RandomBnd(q),
                             q * NTL::RandomBnd(p), NTL::RandomBnd(n), n, NTL::power2_ZZ(512) - 1, p, q};
        std::string plain, sealed, back, cipher, opened;
        for (const ZZ& b : blocks) {
            // NTL takes a negative exponent as the inverse's power: a block
            // without an inverse stays zero, as does one not below n.
            const bool invertible = b < n && NTL::GCD(b, n) == 1, opens = key.d_sign > 0 || invertible;
            cipher += le(b, Crsa::CIPHER_BLOCK);
            opened += le(b < n && opens ? NTL::PowerMod(b, d, n) : ZZ(0), Crsa::PLAIN_BLOCK);
            if (NTL::NumBits(b) > 504) continue;
            plain += le(b, Crsa::PLAIN_BLOCK);
            sealed += le(NTL::PowerMod(b, e, n), Crsa::CIPHER_BLOCK);
            back += le(opens ? b : ZZ(0), Crsa::PLAIN_BLOCK);
        }
        const auto crypt = [&r](const char* b, int* l) { return r.crypt(b, l); };
        const auto decrypt = [&r](const char* b, int* l) { return r.decrypt(b, l); };
        // A last block cut short reads as completed with zeros.
        for (const std::string& in : {plain, plain.substr(0, plain.size() - 30)}) EXPECT_EQ(through(in, crypt), sealed);
        for (const std::string& in : {cipher, cipher.substr(0, cipher.size() - 30)})
            EXPECT_EQ(through(in, decrypt), opened);
        EXPECT_EQ(through(sealed, decrypt), back);
        EXPECT_EQ(through("", crypt), std::string(Crsa::CIPHER_BLOCK, '\0'));
        EXPECT_EQ(through("", decrypt), std::string(Crsa::PLAIN_BLOCK, '\0'));
        // A peer's unusable key gives zero blocks.
        EXPECT_EQ(through(plain, [&r](const char* b, int* l) { return r.crypt(b, l, Skeys{}); }),
                  std::string(sealed.size(), '\0'));
    }
}

TEST(Rsa, PaddingFillsTheLastBlockWithZerosUnpaddingStripsTrailingZerosOnly) {
    Crsa r;
    r.init_crypto_keys(Crsa::KEY_BITS, Crsa::PLAIN_BLOCK, 4);
    const std::string x(64, 'x'), zeros(63, '\0'), inner("a\0b\0\0", 5);
    const struct { std::string in, padded, unpadded; } rows[] = {
        {"", "", ""}, {x, x + std::string(62, '\0'), x}, {zeros, zeros, ""},
        {inner, inner + std::string(58, '\0'), inner.substr(0, 3)}};
    for (const auto& row : rows) {
        EXPECT_EQ(through(row.in, [&r](const char* b, int* l) { return r.add_padding(b, l); }), row.padded);
        EXPECT_EQ(through(row.in, [&r](const char* b, int* l) { return r.delete_padding(b, l); }), row.unpadded);
    }
}

TEST(Rsa, PrimeTestPassesLargePrimesFailsCompositesAndReturnsBelowThree) {
    // Witnesses are drawn from 0 .. n-1 and 0 fails any prime, so only large
    // primes pass for certain; key generation asks only about those.
    Crsa r;
    NTL::SetSeed(ZZ(11));
    const ZZ m61 = NTL::power2_ZZ(61) - 1, m89 = NTL::power2_ZZ(89) - 1, m127 = NTL::power2_ZZ(127) - 1;
    for (const ZZ& prime : {m61, m89, m127, ZZ(2)}) EXPECT_TRUE(r.isPrime(prime, 100)) << prime;
    // 561 and 1105 fool Fermat's test; 1 would loop forever splitting off twos.
    for (const ZZ& c : {ZZ(-7), ZZ(0), ZZ(1), ZZ(91), ZZ(561), ZZ(1105), m61 * m89, m127 * m127, m127 + 1})
        EXPECT_FALSE(r.isPrime(c, 100)) << c;
}
