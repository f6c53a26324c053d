#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "crypto/rsa.h"

namespace {

using Bytes = std::vector<unsigned char>;

Crsa& station() {
    static Crsa* rsa = [] { auto* r = new Crsa; r->init_crypto_keys(512, 63, 2); return r; }();
    return *rsa;
}

// Feeds `in` from a buffer of exactly its length (ASan flags any read past
// it), checks the zero byte after the result and that the input stayed.
template <class Op>
Bytes through(const Bytes& in, Op op) {
    std::unique_ptr<char[]> src(new char[in.size()]);
    if (!in.empty()) std::memcpy(src.get(), in.data(), in.size());
    int len = static_cast<int>(in.size());
    std::unique_ptr<char[]> out(op(src.get(), &len));
    EXPECT_EQ(out[len], 0) << "no zero byte after the content";
    EXPECT_TRUE(in.empty() || std::memcmp(src.get(), in.data(), in.size()) == 0) << "input changed";
    return Bytes(out.get(), out.get() + len);
}

Bytes pad(const Bytes& in) { return through(in, [](const char* b, int* l) { return station().add_padding(b, l); }); }
Bytes unpad(const Bytes& in) { return through(in, [](const char* b, int* l) { return station().delete_padding(b, l); }); }
Bytes crypt(const Bytes& in, const Skeys& k = station().get_my_keys()) {
    return through(in, [&k](const char* b, int* l) { return station().crypt(b, l, k); });
}
Bytes decrypt(const Bytes& in) { return through(in, [](const char* b, int* l) { return station().decrypt(b, l); }); }

Bytes random_bytes(unsigned seed, size_t n) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& c : b) c = static_cast<unsigned char>(rng());
    return b;
}
Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes concat(Bytes a, const Bytes& b) { a.insert(a.end(), b.begin(), b.end()); return a; }

TEST(Padding, AddFillsToWholeBlocksDeleteStripsTrailingZerosOnly) {
    Bytes full = random_bytes(1, 63), over = random_bytes(2, 64);
    EXPECT_EQ(pad(full), full);
    EXPECT_EQ(pad(over), concat(over, Bytes(62, 0)));
    EXPECT_TRUE(pad({}).empty());
    EXPECT_EQ(unpad(text(std::string("abc\0\0\0", 6))), text("abc"));
    EXPECT_EQ(unpad(text("abc")), text("abc"));
    // Interior zeros are content; trailing ones cannot be told from padding.
    EXPECT_EQ(unpad(text(std::string("a\0b\0\0", 5))), text(std::string("a\0b", 3)));
    EXPECT_TRUE(unpad(Bytes(63, 0)).empty());
    EXPECT_TRUE(unpad({}).empty());
}

TEST(Blocks, CryptIsTextbookRsaOnLittleEndianBlocks) {
    Bytes block = random_bytes(3, 63);
    Bytes c = crypt(concat(block, block));
    ASSERT_EQ(c.size(), 128u);
    EXPECT_EQ(Bytes(c.begin(), c.begin() + 64), Bytes(c.begin() + 64, c.end()));
    Skeys k = station().get_my_keys();
    EXPECT_EQ(NTL::ZZFromBytes(c.data(), 64), NTL::PowerMod(NTL::ZZFromBytes(block.data(), 63), k.key[0], k.key[1]));
    EXPECT_EQ(through(concat(block, block), [](const char* b, int* l) { return station().crypt(b, l); }), c)
        << "the station's own key by default";
    for (long modulus : {0L, 1L}) {  // a peer's unusable key gives zero blocks
        k.key[1] = modulus;
        EXPECT_EQ(crypt(random_bytes(5, 126), k), Bytes(128, 0)) << modulus;
    }
}

TEST(Blocks, ShortInputCountsMissingBytesAsZero) {
    Bytes five = text("hello"), filled = concat(five, Bytes(58, 0));
    EXPECT_EQ(crypt(five), crypt(filled));
    EXPECT_EQ(crypt({}), Bytes(64, 0));
    EXPECT_EQ(decrypt({}), Bytes(63, 0));
}

}  // namespace
