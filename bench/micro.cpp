// Micro-benchmarks of the work a station does per message, in process and
// without sockets: one block each way, building an onion, and one relay's
// peeling of a received packet. Each is timed beside what its target holds it
// to: decrypt and peel beside the same key's full power d modulo n (and
// decrypt beside OpenSSL's private operation); create_onion beside its blocks
// encrypted alone. The LAN benchmarks' floors take the blocks of a 3-relay
// onion encrypted alone, decrypt and the relay peel from here.
#include <benchmark/benchmark.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <stack>
#include <string>
#include <vector>

#include "net/station_fixture.h"
#include "onion/layer.h"
#include "onion/peel.h"

namespace {

using I = CrsaInspector;

constexpr int PLAIN = Crsa::PLAIN_BLOCK;
constexpr int CIPHER = Crsa::CIPHER_BLOCK;
// Same length as the LAN driver's texts, so that the MESS layer is one block.
const char TEXT[] = "bench-text-000000000";
// Panes that keep no lines, like the headless station's.
constexpr bool KEEP_NO_LINES = false;
constexpr long SEED = 7001;

// Five other stations (a six-station LAN), each made once. Station 0 decrypts
// and relays; station 4 is the recipient of every onion.
TestStation& other(int i) {
    static std::unique_ptr<TestStation> s[5];
    if (!s[i])
        s[i] = std::make_unique<TestStation>(("10.213.0." + std::to_string(i + 2)).c_str(), SEED + i, KEEP_NO_LINES);
    return *s[i];
}

// Station 0's key made again from its seed, decrypting with the full power d
// modulo n: the anchor that decrypt and the relay peel are held to.
TestStation& full_exponent_twin() {
    static std::unique_ptr<TestStation> twin = [] {
        auto t = std::make_unique<TestStation>("10.213.0.2", SEED, KEEP_NO_LINES);
        I::forget_factors(t->rsa);
        return t;
    }();
    return *twin;
}

// The writer, which lists the five others.
TestStation& writer() {
    static TestStation w("10.213.0.1", 7000, KEEP_NO_LINES);
    if (w.net.stations().get_size() == 0)
        for (int i = 0; i < 5; ++i)
            w.net.stations().add(dotted(other(i).net.own_address()).c_str(), other(i).rsa.get_my_keys());
    return w;
}

// A route of `relays` relays (stations 0 to 3 in turn) to station 4, as
// create_onion takes it: first hop pushed first, recipient on top.
std::stack<uint32_t> route_of(int relays) {
    std::stack<uint32_t> route;
    for (int i = 0; i < relays; ++i) route.push(other(i % 4).net.own_address());
    route.push(other(4).net.own_address());
    return route;
}

// ---------------------------------------------------------------- blocks

// One plaintext block of the benchmarks, encrypted for `s`.
std::string cipher_for(TestStation& s) {
    const std::string plain(PLAIN, 'Z');
    int len = PLAIN;
    std::unique_ptr<char[]> c(s.rsa.crypt(plain.data(), &len, s.rsa.get_my_keys()));
    return std::string(c.get(), static_cast<size_t>(len));
}

void decrypt_loop(benchmark::State& state, TestStation& s) {
    if (I::n(s.rsa) != I::n(other(0).rsa)) state.SkipWithError("not the same key");
    const std::string cipher = cipher_for(s);
    for (auto _ : state) {
        int l = CIPHER;
        std::unique_ptr<char[]> p(s.rsa.decrypt(cipher.data(), &l));
        benchmark::DoNotOptimize(p.get());
    }
}

// One 64-byte block decrypted with the station's private key.
void BM_DecryptBlock(benchmark::State& state) { decrypt_loop(state, other(0)); }
BENCHMARK(BM_DecryptBlock)->Unit(benchmark::kMicrosecond)->MinTime(0.2)->Repetitions(5);

void BM_DecryptBlockFullExponent(benchmark::State& state) { decrypt_loop(state, full_exponent_twin()); }
BENCHMARK(BM_DecryptBlockFullExponent)->Unit(benchmark::kMicrosecond)->MinTime(0.2)->Repetitions(5);

// OpenSSL's raw RSA private operation (no padding) on the same key and block,
// through EVP, with the key given whole: n, e, a positive d, p, q and the
// remainder-theorem parts. OpenSSL blinds each operation, as it does by default.
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)>;
PkeyCtx openssl_private_key(const Crsa& r) {
    using NTL::ZZ;
    const ZZ &p = I::p(r), &q = I::q(r);
    const ZZ d = I::d(r) % ((p - 1) * (q - 1));  // OpenSSL wants d in [0, phi)
    const ZZ values[] = {I::n(r), I::e(r), d, p, q, d % (p - 1), d % (q - 1), NTL::InvMod(q % p, p)};
    const char* names[] = {OSSL_PKEY_PARAM_RSA_N, OSSL_PKEY_PARAM_RSA_E, OSSL_PKEY_PARAM_RSA_D,
                           OSSL_PKEY_PARAM_RSA_FACTOR1, OSSL_PKEY_PARAM_RSA_FACTOR2,
                           OSSL_PKEY_PARAM_RSA_EXPONENT1, OSSL_PKEY_PARAM_RSA_EXPONENT2,
                           OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
    OSSL_PARAM_BLD* build = OSSL_PARAM_BLD_new();
    std::vector<BIGNUM*> numbers;
    for (size_t i = 0; i < std::size(values); ++i) {
        std::vector<unsigned char> le(static_cast<size_t>(NTL::NumBytes(values[i])));
        NTL::BytesFromZZ(le.data(), values[i], static_cast<long>(le.size()));
        numbers.push_back(BN_lebin2bn(le.data(), static_cast<int>(le.size()), nullptr));
        OSSL_PARAM_BLD_push_BN(build, names[i], numbers.back());
    }
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(build);
    PkeyCtx make(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr), EVP_PKEY_CTX_free);
    EVP_PKEY* key = nullptr;
    if (make && params && EVP_PKEY_fromdata_init(make.get()) == 1)
        EVP_PKEY_fromdata(make.get(), &key, EVP_PKEY_KEYPAIR, params);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(build);
    for (BIGNUM* b : numbers) BN_clear_free(b);
    PkeyCtx ctx(key ? EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr) : nullptr, EVP_PKEY_CTX_free);
    EVP_PKEY_free(key);  // the context holds its own reference
    if (ctx && (EVP_PKEY_decrypt_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) != 1))
        ctx.reset();
    return ctx;
}

// `in` and `out`: CIPHER bytes, most significant first.
bool private_op(EVP_PKEY_CTX* ctx, const unsigned char* in, unsigned char* out) {
    size_t out_len = CIPHER;
    return EVP_PKEY_decrypt(ctx, out, &out_len, in, CIPHER) == 1 && out_len == CIPHER;
}

void BM_OpensslPrivateBlock(benchmark::State& state) {
    TestStation& s = other(0);
    PkeyCtx key = openssl_private_key(s.rsa);
    std::string cipher = cipher_for(s);
    std::vector<unsigned char> in(cipher.rbegin(), cipher.rend()), out(CIPHER);
    // Same bytes as the station's decrypt, or the key did not come across.
    int len = CIPHER;
    std::unique_ptr<char[]> ours(s.rsa.decrypt(cipher.data(), &len));
    if (!key || !private_op(key.get(), in.data(), out.data()) || out[0] != 0 ||
        !std::equal(out.rbegin(), out.rbegin() + PLAIN, ours.get(),
                    [](unsigned char a, char b) { return a == static_cast<unsigned char>(b); })) {
        state.SkipWithError("OpenSSL does not agree with the station's decrypt");
        return;
    }
    for (auto _ : state) {
        private_op(key.get(), in.data(), out.data());
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_OpensslPrivateBlock)->Unit(benchmark::kMicrosecond)->MinTime(0.2)->Repetitions(5);

// ---------------------------------------------------------------- onions

// create_onion for a route of `relays` relays to a recipient; the writer's
// list holds the five others. No transcript: create_file is never called.
// Each iteration also encrypts, alone, the padded layers that the onion is
// made of, with the same keys; counter pure_crypt_us is that time, taken
// beside the onion's so that both see the same machine.
void BM_CreateOnion(benchmark::State& state) {
    const int relays = static_cast<int>(state.range(0));
    TestStation& w = writer();
    const std::stack<uint32_t> route = route_of(relays);
    std::vector<TestStation*> hops{&other(4)};  // recipient first, first hop last
    for (int i = relays - 1; i >= 0; --i) hops.push_back(&other(i % 4));

    // The padded plaintext of every layer, innermost first, and its key.
    std::vector<std::pair<std::string, Skeys>> layers;
    int len = static_cast<int>(std::strlen(TEXT));
    std::unique_ptr<char[]> layer(Clayer::add_mess_prefix(TEXT, &len, w.net.own_address()));
    for (size_t i = 0; i < hops.size(); ++i) {
        if (i > 0) layer.reset(Clayer::add_ip_prefix(layer.get(), &len, hops[i - 1]->net.own_address()));
        std::unique_ptr<char[]> padded(w.rsa.add_padding(layer.get(), &len));
        layers.emplace_back(std::string(padded.get(), static_cast<size_t>(len)), hops[i]->rsa.get_my_keys());
        layer.reset(w.rsa.crypt(padded.get(), &len, layers.back().second));
    }

    double pure = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        int n = static_cast<int>(std::strlen(TEXT));
        uint32_t to = 0, first = 0;
        std::unique_ptr<char[]> p(w.net.create_onion(route, TEXT, &n, &to, &first));
        auto t1 = std::chrono::steady_clock::now();
        if (!p || n != len || std::memcmp(p.get(), layer.get(), static_cast<size_t>(len)) != 0)
            state.SkipWithError("not the onion of its layers");
        benchmark::DoNotOptimize(p.get());
        for (auto& [plain, key] : layers) {
            int l = static_cast<int>(plain.size());
            std::unique_ptr<char[]> c(w.rsa.crypt(plain.data(), &l, key));
            benchmark::DoNotOptimize(c.get());
        }
        pure += std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t1).count();
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    }
    state.counters["pure_crypt_us"] = benchmark::Counter(pure, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_CreateOnion)->Arg(1)->Arg(3)->Arg(8)->UseManualTime()
    ->Unit(benchmark::kMicrosecond)->MinTime(0.2)->Repetitions(3);

// ---------------------------------------------------------------- relay

// What a relay does with a received packet before it sends it on (decrypt,
// unpad, read the IP layer, restore the inner layer to whole blocks), with the
// station's own peel_layer, on the writer's 2-block onion over one relay.
void relay_peel(benchmark::State& state, TestStation& relay) {
    int len = static_cast<int>(std::strlen(TEXT));
    uint32_t to = 0, first = 0;
    std::unique_ptr<char[]> onion(writer().net.create_onion(route_of(1), TEXT, &len, &to, &first));
    if (!onion || len != 2 * CIPHER) state.SkipWithError("not a 2-block onion");
    for (auto _ : state) {
        int length = len;
        uint32_t address = 0;
        bool last = true;
        std::unique_ptr<char[]> out(peel_layer(relay.rsa, onion.get(), &length, &address, &last));
        if (!out || last || length != CIPHER) state.SkipWithError("not the layer expected");
        benchmark::DoNotOptimize(out.get());
    }
}
void BM_RelayPeel(benchmark::State& state) { relay_peel(state, other(0)); }
BENCHMARK(BM_RelayPeel)->Unit(benchmark::kMicrosecond)->MinTime(0.2)->Repetitions(3);

void BM_RelayPeelFullExponent(benchmark::State& state) { relay_peel(state, full_exponent_twin()); }
BENCHMARK(BM_RelayPeelFullExponent)->Unit(benchmark::kMicrosecond)->MinTime(0.2)->Repetitions(3);

}  // namespace

BENCHMARK_MAIN();
