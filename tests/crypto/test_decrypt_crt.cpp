// Keys of both signs of d, and decryption, which works modulo p and q apart:
// it must give exactly the bytes of the full power c^d mod n, for every block
// a peer could send, and undo the public power.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "crypto/crsa_insides.h"

namespace {

using NTL::ZZ;
using I = CrsaInspector;
using Bytes = std::vector<unsigned char>;

// The full power, straight from d and n: NTL takes a negative exponent as the
// inverse's power; a block with no inverse stays zero, as does one not below n.
ZZ full_power(const ZZ& c, const Crsa& r) {
    const ZZ &d = I::d(r), &n = I::n(r);
    if (c >= n || (NTL::sign(d) < 0 && NTL::GCD(c, n) != 1)) return ZZ(0);
    return NTL::PowerMod(c, d, n);
}

Bytes le(const ZZ& v, long width) {
    Bytes b(static_cast<size_t>(width));
    NTL::BytesFromZZ(b.data(), v, width);
    return b;
}

// Blocks a peer could send: the edges of [0, n), multiples of either factor,
// values at or above n, and random ones below and above n.
std::vector<ZZ> blocks_for(const Crsa& r) {
    const ZZ &n = I::n(r), &p = I::p(r), &q = I::q(r);
    std::vector<ZZ> v{ZZ(0), ZZ(1), ZZ(2), n - 1, n - 2, p, q, p + 1, q - 1, n - p, n - q,
                      n, n + 1, NTL::power2_ZZ(512) - 1};
    for (int i = 0; i < 6; ++i) {
        v.push_back(p * NTL::RandomBnd(q));
        v.push_back(q * NTL::RandomBnd(p));
        v.push_back(NTL::RandomBnd(n));
        v.push_back(n + NTL::RandomBnd(NTL::power2_ZZ(512) - n));
    }
    return v;
}

TEST(DecryptByFactors, SameBytesAsTheFullPowerForKeysOfBothSigns) {
    int signs[2] = {0, 0};
    for (long seed = 1; seed <= 14; ++seed) {
        SCOPED_TRACE(seed);
        Crsa r;
        r.init_crypto_keys(512, 63, seed);
        const ZZ &n = I::n(r), &e = I::e(r);
        ASSERT_FALSE(NTL::IsZero(I::p(r))) << "the factors were not kept";
        ASSERT_EQ(I::p(r) * I::q(r), n);
        EXPECT_TRUE(NTL::NumBits(n) == 511 || NTL::NumBits(n) == 512);  // every 63-byte block is below n
        EXPECT_TRUE(NTL::NumBits(e) == 511 && NTL::ProbPrime(e));
        EXPECT_EQ(r.get_my_keys().key[0], e);
        EXPECT_EQ(r.get_my_keys().key[1], n);
        ++signs[NTL::sign(I::d(r)) < 0];

        NTL::SetSeed(ZZ(seed));
        const std::vector<ZZ> blocks = blocks_for(r);
        Bytes cipher, expected;
        for (const ZZ& c : blocks) {
            Bytes b = le(c, 64), m = le(full_power(c, r), 63);
            cipher.insert(cipher.end(), b.begin(), b.end());
            expected.insert(expected.end(), m.begin(), m.end());
            if (c < n && NTL::GCD(c, n) == 1) {
                EXPECT_EQ(NTL::PowerMod(full_power(c, r), e, n), c) << "d undoes e";
            }
        }
        // All blocks in one buffer of exactly their size: ASan sees an over-read.
        std::unique_ptr<char[]> in(new char[cipher.size()]);
        std::copy(cipher.begin(), cipher.end(), in.get());
        int len = static_cast<int>(cipher.size());
        std::unique_ptr<char[]> out(r.decrypt(in.get(), &len));
        ASSERT_EQ(len, static_cast<int>(expected.size()));
        EXPECT_EQ(out[len], 0);
        const auto* got = reinterpret_cast<const unsigned char*>(out.get());
        for (size_t i = 0; i < blocks.size(); ++i)
            EXPECT_TRUE(std::equal(expected.begin() + 63 * i, expected.begin() + 63 * (i + 1), got + 63 * i))
                << "block " << blocks[i];

        // A last block cut short decrypts as that block completed with zeros.
        // (a second block below 2^480 ends in zero bytes, which a relay that
        // drops them leaves off)
        const ZZ small = NTL::RandomBnd(NTL::power2_ZZ(480));
        Bytes cut(cipher.begin(), cipher.begin() + 64), tail = le(small, 64);
        cut.insert(cut.end(), tail.begin(), tail.begin() + 60);
        Bytes want(expected.begin(), expected.begin() + 63), m = le(full_power(small, r), 63);
        want.insert(want.end(), m.begin(), m.end());
        len = static_cast<int>(cut.size());
        std::unique_ptr<char[]> cut_out(r.decrypt(reinterpret_cast<const char*>(cut.data()), &len));
        const auto* cut_got = reinterpret_cast<const unsigned char*>(cut_out.get());
        EXPECT_EQ(Bytes(cut_got, cut_got + len), want);

        // A short input reads its missing bytes as zero.
        len = 5;
        std::unique_ptr<char[]> short_out(r.decrypt(in.get() + 64 * 18, &len));
        ZZ head = NTL::ZZFromBytes(cipher.data() + 64 * 18, 5);
        const auto* short_got = reinterpret_cast<const unsigned char*>(short_out.get());
        EXPECT_EQ(Bytes(short_got, short_got + len), le(full_power(head, r), 63));
    }
    EXPECT_GE(signs[0], 3) << "too few keys with d > 0";
    EXPECT_GE(signs[1], 3) << "too few keys with d < 0";
}

}  // namespace
