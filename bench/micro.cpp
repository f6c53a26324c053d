// Micro-benchmarks of the work a station does per message, in process and
// without sockets: key generation, one block each way, building an onion, and
// one relay's peeling of a received packet. The LAN driver takes its crypto
// floor from the per-block figures here. Two references beside the station's
// decrypt: the same key's full power d modulo n (the decrypt of old), and
// OpenSSL's private operation on the same key and block.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <stack>
#include <string>
#include <vector>

#include "net/station_fixture.h"
#include "onion/layer.h"
#include "onion/peel.h"

namespace {

using I = CrsaInspector;

constexpr int KEY_BITS = Crsa::KEY_BITS;
constexpr int PLAIN = Crsa::PLAIN_BLOCK;
constexpr int CIPHER = Crsa::CIPHER_BLOCK;
// Same length as the LAN driver's texts, so that the MESS layer is one block.
const char TEXT[] = "bench-text-000000000";

// Stations in process whose panes keep nothing, like the headless station's
// message and transfer panes.
using Station = TestStation;
constexpr bool KEEP_NO_LINES = false;

std::string other_address(size_t i) { return "10.213.0." + std::to_string(i + 2); }

// Five other stations' keys (a six-station LAN), made once.
std::vector<std::unique_ptr<Station>>& others() {
    static std::vector<std::unique_ptr<Station>> s = [] {
        std::vector<std::unique_ptr<Station>> v;
        for (size_t i = 0; i < 5; ++i)
            v.push_back(std::make_unique<Station>(other_address(i).c_str(), 7001 + static_cast<long>(i), KEEP_NO_LINES));
        return v;
    }();
    return s;
}

// The same key as others()[i], made from the same seed, but decrypting with
// the full power d modulo n: the reference the station's decrypt is held to.
Station& full_exponent_twin(size_t i) {
    static std::unique_ptr<Station> twins[5];
    if (!twins[i]) {
        twins[i] = std::make_unique<Station>(other_address(i).c_str(), 7001 + static_cast<long>(i), KEEP_NO_LINES);
        I::forget_factors(twins[i]->rsa);
    }
    return *twins[i];
}

Station& writer() {
    static Station w("10.213.0.1", 7000, KEEP_NO_LINES);
    return w;
}

std::string block_of(std::mt19937& rng, int size) {
    std::string b(static_cast<size_t>(size), '\0');
    for (char& c : b) c = static_cast<char>(rng() & 0xFF);
    return b;
}

// ---------------------------------------------------------------- keys

void BM_KeyGen(benchmark::State& state) {
    static long seed = 1000;  // a new seed for every repetition
    for (auto _ : state) {
        Crsa r;
        r.init_crypto_keys(KEY_BITS, PLAIN, ++seed);
        benchmark::DoNotOptimize(r.get_my_keys());
    }
}
BENCHMARK(BM_KeyGen)->Iterations(1)->Repetitions(60)->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------- blocks

// One 63-byte block encrypted under another station's public key.
void BM_CryptBlock(benchmark::State& state) {
    Station& w = writer();
    Skeys k = others()[0]->rsa.get_my_keys();
    std::mt19937 rng(1);
    std::string plain = block_of(rng, PLAIN);
    for (auto _ : state) {
        int len = PLAIN;
        std::unique_ptr<char[]> c(w.rsa.crypt(plain.data(), &len, k));
        benchmark::DoNotOptimize(c.get());
    }
}
BENCHMARK(BM_CryptBlock)->Unit(benchmark::kMicrosecond)->MinTime(0.2)->Repetitions(5);

// One plaintext block of the benchmarks, encrypted for `s`.
std::string cipher_for(Station& s) {
    std::mt19937 rng(2);
    std::string plain = block_of(rng, PLAIN);
    int len = PLAIN;
    std::unique_ptr<char[]> c(s.rsa.crypt(plain.data(), &len, s.rsa.get_my_keys()));
    return std::string(c.get(), static_cast<size_t>(len));
}

void decrypt_loop(benchmark::State& state, Station& s, const std::string& cipher) {
    for (auto _ : state) {
        int l = CIPHER;
        std::unique_ptr<char[]> p(s.rsa.decrypt(cipher.data(), &l));
        benchmark::DoNotOptimize(p.get());
    }
}

// One 64-byte block decrypted with the station's private key.
void BM_DecryptBlock(benchmark::State& state) {
    Station& s = *others()[0];
    decrypt_loop(state, s, cipher_for(s));
}
BENCHMARK(BM_DecryptBlock)->Unit(benchmark::kMicrosecond)->MinTime(0.2)->Repetitions(5);

// The same key and block, to the full power d modulo n.
void BM_DecryptBlockFullExponent(benchmark::State& state) {
    Station& s = full_exponent_twin(0);
    if (I::n(s.rsa) != I::n(others()[0]->rsa)) state.SkipWithError("the twin has another key");
    decrypt_loop(state, s, cipher_for(s));
}
BENCHMARK(BM_DecryptBlockFullExponent)->Unit(benchmark::kMicrosecond)->MinTime(0.2)->Repetitions(5);

// OpenSSL's raw RSA private operation (no padding) on the same key and block,
// through EVP, with the key given whole: n, e, a positive d, p, q and the
// remainder-theorem parts. OpenSSL blinds each operation, as it does by default.
class OpensslKey {
public:
    explicit OpensslKey(const Crsa& r) {
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
        EVP_PKEY_CTX* make = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
        ok_ = make && params && EVP_PKEY_fromdata_init(make) == 1 &&
              EVP_PKEY_fromdata(make, &key_, EVP_PKEY_KEYPAIR, params) == 1;
        EVP_PKEY_CTX_free(make);
        OSSL_PARAM_free(params);
        OSSL_PARAM_BLD_free(build);
        for (BIGNUM* b : numbers) BN_clear_free(b);
        ctx_ = ok_ ? EVP_PKEY_CTX_new_from_pkey(nullptr, key_, nullptr) : nullptr;
        ok_ = ctx_ && EVP_PKEY_decrypt_init(ctx_) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx_, RSA_NO_PADDING) == 1;
    }
    ~OpensslKey() {
        EVP_PKEY_CTX_free(ctx_);
        EVP_PKEY_free(key_);
    }
    OpensslKey(const OpensslKey&) = delete;
    OpensslKey& operator=(const OpensslKey&) = delete;
    bool ok() const { return ok_; }
    // `in` and `out`: CIPHER bytes, most significant first.
    bool private_op(const unsigned char* in, unsigned char* out) {
        size_t out_len = CIPHER;
        return EVP_PKEY_decrypt(ctx_, out, &out_len, in, CIPHER) == 1 && out_len == CIPHER;
    }

private:
    EVP_PKEY* key_ = nullptr;
    EVP_PKEY_CTX* ctx_ = nullptr;
    bool ok_ = false;
};

void BM_OpensslPrivateBlock(benchmark::State& state) {
    Station& s = *others()[0];
    OpensslKey key(s.rsa);
    std::string cipher = cipher_for(s);
    std::vector<unsigned char> in(cipher.rbegin(), cipher.rend()), out(CIPHER);
    // Same bytes as the station's decrypt, or the key did not come across.
    int len = CIPHER;
    std::unique_ptr<char[]> ours(s.rsa.decrypt(cipher.data(), &len));
    if (!key.ok() || !key.private_op(in.data(), out.data()) || out[0] != 0 ||
        !std::equal(out.rbegin(), out.rbegin() + PLAIN, ours.get(),
                    [](unsigned char a, char b) { return a == static_cast<unsigned char>(b); })) {
        state.SkipWithError("OpenSSL does not agree with the station's decrypt");
        return;
    }
    for (auto _ : state) {
        key.private_op(in.data(), out.data());
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_OpensslPrivateBlock)->Unit(benchmark::kMicrosecond)->MinTime(0.2)->Repetitions(5);

// The key generator leaves d negative for about half of the seeds; the full
// power then works with -d and the block's inverse. One block each way.
void decrypt_by_sign(benchmark::State& state, bool full) {
    const int want = static_cast<int>(state.range(0));
    static std::unique_ptr<Station> by_sign[2][2];
    std::unique_ptr<Station>& s = by_sign[want > 0][full];
    for (long seed = 8000; !s; ++seed) {
        auto c = std::make_unique<Station>("10.213.0.9", seed, KEEP_NO_LINES);
        if (I::sign_of_d(c->rsa) != want) continue;
        if (full) I::forget_factors(c->rsa);
        s = std::move(c);
    }
    decrypt_loop(state, *s, cipher_for(*s));
}
void BM_DecryptBlockBySign(benchmark::State& state) { decrypt_by_sign(state, false); }
void BM_DecryptBlockBySignFullExponent(benchmark::State& state) { decrypt_by_sign(state, true); }
BENCHMARK(BM_DecryptBlockBySign)->Arg(1)->Arg(-1)->Unit(benchmark::kMicrosecond)->MinTime(0.2)->Repetitions(5);
BENCHMARK(BM_DecryptBlockBySignFullExponent)->Arg(1)->Arg(-1)->Unit(benchmark::kMicrosecond)->MinTime(0.2)->Repetitions(5);

// A station decrypts after sleeping in its loop, not in a tight loop: caches
// and the idle CPU make that first block slower. Timed alone after 5 ms asleep.
void BM_DecryptBlockAfterIdle(benchmark::State& state) {
    Station& s = *others()[0];
    std::string cipher = cipher_for(s);
    for (auto _ : state) {
        usleep(5000);
        auto t0 = std::chrono::steady_clock::now();
        int l = CIPHER;
        std::unique_ptr<char[]> p(s.rsa.decrypt(cipher.data(), &l));
        benchmark::DoNotOptimize(p.get());
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
}
BENCHMARK(BM_DecryptBlockAfterIdle)->UseManualTime()->Iterations(100)->Repetitions(3)->Unit(benchmark::kMicrosecond);

// ---------------------------------------------------------------- panes

// One pane line into a headless pane: the Windows-1250 to UTF-8 conversion
// every inserted line goes through.
void BM_PaneLine(benchmark::State& state) {
    plat::Pane pane(false);
    const std::string line = "PRENOS: 10.213.0.1 -> 10.213.0.2 -> 10.213.0.3";
    for (auto _ : state)
        pane.message(plat::LB_INSERTSTRING, 0, reinterpret_cast<plat::LPARAM>(line.c_str()));
}
BENCHMARK(BM_PaneLine)->Unit(benchmark::kMicrosecond)->MinTime(0.2)->Repetitions(3);

// The stations pane redrawn for a list of 31 stations, as on every HELLO,
// WELCOME and BYE that changes the list.
void BM_StationsRepaint(benchmark::State& state) {
    Station& w = writer();
    Clist list;
    for (int i = 0; i < 31; ++i) list.add(("10.213.0." + std::to_string(i + 2)).c_str(), Skeys{});
    for (auto _ : state) w.print.refresh_ip_window(&list);
}
BENCHMARK(BM_StationsRepaint)->Unit(benchmark::kMicrosecond)->MinTime(0.2)->Repetitions(3);

// One transcript line, as the writer appends the route and each DOBA PRENOSU.
void BM_TranscriptLine(benchmark::State& state) {
    Station s(inet_addr("10.0.0.7"), writer().rsa, KEEP_NO_LINES);
    InTempDir dir;
    s.net.create_file();
    for (auto _ : state) s.net.save_to_file("DOBA PRENOSU: 2ms.\n");
}
BENCHMARK(BM_TranscriptLine)->Unit(benchmark::kMicrosecond)->MinTime(0.2)->Repetitions(3);

// ---------------------------------------------------------------- onions

// create_onion for a route of `relays` relays to a recipient; the writer's
// list holds the five others. No transcript: create_file is never called.
// Each iteration also encrypts, alone, the padded layers that the onion is
// made of, with the same keys; counter pure_crypt_us is that time, taken
// beside the onion's so that both see the same machine.
void BM_CreateOnion(benchmark::State& state) {
    const int relays = static_cast<int>(state.range(0));
    Station& w = writer();
    auto& o = others();
    for (auto& s : o) w.net.stations().add(dotted(s->net.own_address()).c_str(), s->rsa.get_my_keys());
    std::stack<uint32_t> route;  // first hop pushed first, recipient on top
    for (int i = 0; i < relays; ++i) route.push(o[static_cast<size_t>(i % 4)]->net.own_address());
    route.push(o[4]->net.own_address());
    std::vector<Station*> hops{o[4].get()};  // recipient first, first hop last
    for (int i = relays - 1; i >= 0; --i) hops.push_back(o[static_cast<size_t>(i % 4)].get());

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
    state.counters["blocks_crypted"] = (relays + 1) * (relays + 2) / 2;
    state.counters["pure_crypt_us"] = benchmark::Counter(pure, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_CreateOnion)->Arg(0)->Arg(1)->Arg(3)->Arg(8)->Arg(10)->Arg(37)->UseManualTime()
    ->Unit(benchmark::kMicrosecond)->MinTime(0.2)->Repetitions(3);

// ---------------------------------------------------------------- relay

// A framed layer padded and encrypted for `s`, as a packet it would receive.
std::string sealed_for(Station& s, char* framed, int len) {
    std::unique_ptr<char[]> owned(framed);
    std::unique_ptr<char[]> padded(s.rsa.add_padding(owned.get(), &len));
    std::unique_ptr<char[]> packet(s.rsa.crypt(padded.get(), &len, s.rsa.get_my_keys()));
    return std::string(packet.get(), static_cast<size_t>(len));
}

// One station opening its layer of `packet` with the station's own peel_layer.
void peel(benchmark::State& state, Station& s, const std::string& packet, bool expect_last) {
    for (auto _ : state) {
        int length = static_cast<int>(packet.size());
        uint32_t address = 0;
        bool last = false;
        std::unique_ptr<char[]> out(peel_layer(s.rsa, packet.data(), &length, &address, &last));
        if (!out || last != expect_last) state.SkipWithError("not the layer expected");
        benchmark::DoNotOptimize(out.get());
    }
}

// What a relay does with a received packet before it sends it on: decrypt,
// unpad, read the IP layer, and restore the inner layer to whole blocks.
void relay_peel(benchmark::State& state, Station& relay) {
    const int blocks = static_cast<int>(state.range(0));
    std::mt19937 rng(3);
    // Inner ciphertext of blocks - 1 whole blocks, as the next station's layer.
    std::string inner = block_of(rng, (blocks - 1) * CIPHER);
    int len = static_cast<int>(inner.size());
    uint32_t next = others()[2]->net.own_address();
    char* framed = Clayer::add_ip_prefix(inner.data(), &len, next);
    std::string packet = sealed_for(relay, framed, len);
    if (static_cast<int>(packet.size()) != blocks * CIPHER) state.SkipWithError("packet has the wrong size");
    peel(state, relay, packet, false);
}
void BM_RelayPeel(benchmark::State& state) { relay_peel(state, *others()[1]); }
BENCHMARK(BM_RelayPeel)->Arg(2)->Arg(4)->Arg(39)->Unit(benchmark::kMicrosecond)->MinTime(0.2)->Repetitions(3);

// The same relay key decrypting to the full power.
void BM_RelayPeelFullExponent(benchmark::State& state) { relay_peel(state, full_exponent_twin(1)); }
BENCHMARK(BM_RelayPeelFullExponent)->Arg(2)->Unit(benchmark::kMicrosecond)->MinTime(0.2)->Repetitions(3);

// The recipient's peel of a one-block MESS layer.
void BM_RecipientPeel(benchmark::State& state) {
    Station& r = *others()[2];
    int len = static_cast<int>(std::strlen(TEXT));
    char* framed = Clayer::add_mess_prefix(TEXT, &len, writer().net.own_address());
    peel(state, r, sealed_for(r, framed, len), true);
}
BENCHMARK(BM_RecipientPeel)->Unit(benchmark::kMicrosecond)->MinTime(0.2)->Repetitions(3);

}  // namespace

BENCHMARK_MAIN();
