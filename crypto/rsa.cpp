#include "crypto/rsa.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

using NTL::ZZ;

namespace {

// A result buffer: `size` counted bytes, all zero, plus the uncounted zero byte.
std::unique_ptr<char[]> zeroed(int size) {
    return std::unique_ptr<char[]>(new char[static_cast<size_t>(size) + 1]());
}

// Reads `width` bytes at `offset` as a little-endian integer; bytes past the
// end of the input count as zero, so a short input is never over-read. Only a
// short last block needs the zero-filled copy in `scratch`.
void read_block(ZZ& value, const char* buf, int len, long offset, int width,
                std::vector<unsigned char>& scratch) {
    long avail = std::clamp<long>(len - offset, 0, width);
    if (avail == width) {
        NTL::ZZFromBytes(value, reinterpret_cast<const unsigned char*>(buf + offset), width);
        return;
    }
    scratch.assign(static_cast<size_t>(width), 0);
    if (avail > 0) std::memcpy(scratch.data(), buf + offset, static_cast<size_t>(avail));
    NTL::ZZFromBytes(value, scratch.data(), width);
}

void write_block(char* out, const ZZ& value, int width) {
    NTL::BytesFromZZ(reinterpret_cast<unsigned char*>(out), value, width);
}

// Blocks of `in_block` bytes that `len` bytes fill when the last one is
// zero-filled; never fewer than one. A short last block is read as if its
// missing bytes were zeros: a station that forwards a layer without the zero
// bytes unpadding ate sends exactly such a block.
int padded_count(int len, int in_block) {
    return len > in_block ? (len + in_block - 1) / in_block : 1;
}

// Block loop of crypt and the full-exponent decrypt: `count` blocks of
// `in_block` bytes in, `out_block` bytes each written to `out`.
void exponentiate(const char* buf, int len, int count, int in_block, int out_block,
                  const ZZ& exponent, const ZZ& modulus, char* out) {
    const bool inverse_needed = NTL::sign(exponent) < 0;
    // m^-k is (m^-1)^k; the positive power is the same for every block.
    ZZ negated;
    if (inverse_needed) NTL::negate(negated, exponent);
    const ZZ& power = inverse_needed ? negated : exponent;
    std::vector<unsigned char> scratch;
    ZZ m, c, g, inverse, unused;
    for (int i = 0; i < count; ++i) {
        read_block(m, buf, len, static_cast<long>(in_block) * i, in_block, scratch);
        NTL::clear(c);  // zero unless the block can be exponentiated
        if (modulus > 1 && m < modulus) {
            if (!inverse_needed) {
                NTL::PowerMod(c, m, power, modulus);
            } else {
                // A negative exponent needs m invertible modulo n (NTL aborts
                // the whole process otherwise), so such a block stays zero.
                // One extended GCD both tells that and gives the inverse.
                NTL::XGCD(g, inverse, unused, m, modulus);
                if (g == 1) {
                    NTL::rem(inverse, inverse, modulus);  // into [0, n), as InvMod gives it
                    NTL::PowerMod(c, inverse, power, modulus);
                }
            }
        }
        write_block(out + static_cast<long>(out_block) * i, c, out_block);
    }
}

char* transform(const char* buf, int* len, int in_block, int out_block,
                const ZZ& exponent, const ZZ& modulus) {
    int count = padded_count(*len, in_block);
    auto out = zeroed(out_block * count);
    exponentiate(buf, *len, count, in_block, out_block, exponent, modulus, out.get());
    *len = out_block * count;
    return out.release();
}

}  // namespace

Crsa::Crsa() = default;

Crsa::~Crsa() {
    e.kill();
    d.kill();
    n.kill();
    for (ZZ* secret : {&p, &q, &dp, &dq, &qinv}) secret->kill();
}

void Crsa::init(int bits, long seed) {
    key_bits = bits;
    cipher_block = bits / 8;
    NTL::SetSeed(ZZ(seed));
}

void Crsa::init_crypto_keys(int bits, int plain, long seed) {
    init(bits, seed);
    plain_block = plain;

    ZZ p1 = NTL::RandomLen_ZZ(bits / 2);
    while (!isPrime(p1, 100)) p1 += 1;
    ZZ q1 = NTL::RandomLen_ZZ(bits / 2);
    while (!isPrime(q1, 100)) q1 += 1;

    n = p1 * q1;
    ZZ phi = (p1 - 1) * (q1 - 1);

    e = NTL::RandomLen_ZZ(bits - 1);
    while (!isPrime(e, 100)) e += 1;

    d = REA(phi, e);
    prepare_crt(p1, q1);
}

// Fixes what decrypt needs to work modulo p and q apart. Draws nothing from
// the random generator, so the key stays what the seed makes.
void Crsa::prepare_crt(const ZZ& first, const ZZ& second) {
    NTL::clear(p);
    // Equal factors are not coprime, and d = 0 would need 0^0 = 1 for blocks
    // divisible by p: both stay on the full power.
    if (first == second || NTL::IsZero(d)) return;
    p = first;
    q = second;
    NTL::rem(dp, d, p - 1);  // NTL's remainder takes the divisor's sign: [0, p - 1)
    NTL::rem(dq, d, q - 1);
    NTL::InvMod(qinv, q % p, p);
}

bool Crsa::isPrime(ZZ cand, int trials) {
    // Below 3 the decomposition of cand - 1 would not end; answer directly.
    if (cand < 3) return cand == 2;

    long s = 0;
    ZZ r = cand - 1;
    while (!NTL::IsOdd(r)) {
        r /= 2;
        ++s;
    }
    const ZZ minus_one = cand - 1;
    for (int t = 0; t < trials; ++t) {
        ZZ a = NTL::RandomBnd(cand);
        ZZ x = NTL::PowerMod(a, r, cand);
        if (x == 1 || x == minus_one) continue;
        bool reached = false;
        for (long j = 1; j < s; ++j) {
            x = NTL::PowerMod(x, 2, cand);
            if (x == 1) return false;
            if (x == minus_one) {
                reached = true;
                break;
            }
        }
        if (!reached) return false;
    }
    return true;
}

ZZ Crsa::REA(ZZ a, ZZ b) {
    if (b == 0) return ZZ(0);  // no division step is possible
    ZZ r0 = a, r1 = b;
    ZZ x0(1), x1(0);
    ZZ y0(0), y1(1);
    for (;;) {
        ZZ q;
        NTL::div(q, r0, r1);
        ZZ r2 = r0 - q * r1;
        r0 = r1;
        r1 = r2;
        if (r1 == 0) break;
        ZZ x2 = x0 - q * x1;
        x0 = x1;
        x1 = x2;
        ZZ y2 = y0 - q * y1;
        y0 = y1;
        y1 = y2;
    }
    return y1;
}

Skeys Crsa::get_my_keys() {
    Skeys k;
    k.key[0] = e;
    k.key[1] = n;
    return k;
}

char* Crsa::add_padding(const char* buf, int* len) {
    int size = std::max(*len, 0);
    int r = size % plain_block;
    int pad = (r == 0) ? 0 : plain_block - r;
    auto out = zeroed(size + pad);
    if (size > 0) std::memcpy(out.get(), buf, static_cast<size_t>(size));
    *len = size + pad;
    return out.release();
}

char* Crsa::delete_padding(const char* buf, int* len) {
    int size = std::max(*len, 0);
    while (size > 0 && buf[size - 1] == 0) --size;
    auto out = zeroed(size);
    if (size > 0) std::memcpy(out.get(), buf, static_cast<size_t>(size));
    *len = size;
    return out.release();
}

char* Crsa::crypt(const char* buf, int* len, Skeys keys) {
    return transform(buf, len, plain_block, cipher_block, keys.key[0], keys.key[1]);
}

int Crsa::crypted_length(int len) const { return cipher_block * padded_count(len, plain_block); }

int Crsa::crypt_padded(const char* buf, int len, const Skeys& keys, char* out) const {
    len = std::max(len, 0);
    const int count = padded_count(len, plain_block);
    exponentiate(buf, len, count, plain_block, cipher_block, keys.key[0], keys.key[1], out);
    return cipher_block * count;
}

char* Crsa::crypt(const char* buf, int* len) {
    return crypt(buf, len, get_my_keys());
}

// Each block from two half-size powers, modulo p and modulo q, joined by the
// Chinese remainder theorem: the same bytes as c^d mod n, in about a third of
// the time. A block divisible by p or q is not invertible: under a negative d
// it stays zero, as on the full power; under a positive d its part modulo
// that factor is 0, which Fermat's shortcut to dp or dq would get wrong.
char* Crsa::decrypt(const char* buf, int* len) {
    if (NTL::IsZero(p)) return transform(buf, len, cipher_block, plain_block, d, n);
    const int count = padded_count(*len, cipher_block);
    auto out = zeroed(plain_block * count);
    const bool negative = NTL::sign(d) < 0;
    std::vector<unsigned char> scratch;
    ZZ c, cp, cq, mp, mq, m;
    for (int i = 0; i < count; ++i) {
        read_block(c, buf, *len, static_cast<long>(cipher_block) * i, cipher_block, scratch);
        NTL::clear(m);
        if (c < n) {
            NTL::rem(cp, c, p);
            NTL::rem(cq, c, q);
            const bool p_divides = NTL::IsZero(cp), q_divides = NTL::IsZero(cq);
            if (!negative || (!p_divides && !q_divides)) {
                if (p_divides) NTL::clear(mp); else NTL::PowerMod(mp, cp, dp, p);
                if (q_divides) NTL::clear(mq); else NTL::PowerMod(mq, cq, dq, q);
                // m = mq + q * ((mp - mq) * qinv mod p), below q * p = n.
                NTL::sub(m, mp, mq);
                NTL::rem(m, m, p);
                NTL::MulMod(m, m, qinv, p);
                NTL::mul(m, m, q);
                NTL::add(m, m, mq);
            }
        }
        write_block(out.get() + static_cast<long>(plain_block) * i, m, plain_block);
    }
    *len = plain_block * count;
    return out.release();
}
