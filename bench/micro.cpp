// Micro-benchmarks of the work a station does per message, in process and
// without sockets: key generation, one block each way, building an onion, and
// one relay's peeling of a received packet. The LAN driver takes its crypto
// floor from the per-block figures here.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <stack>
#include <string>
#include <vector>

#include "app/printout.h"
#include "net/net.h"
#include "onion/layer.h"

// The tests' window on the private exponent; here it picks keys by its sign.
struct CrsaInspector {
    static int sign_of_d(const Crsa& r) { return NTL::sign(r.d); }
};

namespace {

constexpr int KEY_BITS = 512;
constexpr int PLAIN = 63;
constexpr int CIPHER = 64;
// Same length as the LAN driver's texts, so that the MESS layer is one block.
const char TEXT[] = "bench-text-000000000";

// A station in process: memory panes that keep nothing (like the headless
// station's message and transfer panes), a key, an address.
struct Station {
    plat::Pane messages{false}, stations{false}, transfers{false};
    plat::HWND mess_h = &messages, ip_h = &stations, trans_h = &transfers;
    Cprintout print;
    Crsa rsa;
    Cnet net;

    Station(const char* address, long seed) {
        rsa.init_crypto_keys(KEY_BITS, PLAIN, seed);
        print.set(&mess_h, &ip_h, &trans_h);
        net.set_print(&print);
        net.set_rsa(&rsa);
        net.set_own_address(inet_addr(address));
    }
};

// Five other stations' keys (a six-station LAN), made once.
std::vector<std::unique_ptr<Station>>& others() {
    static std::vector<std::unique_ptr<Station>> s = [] {
        std::vector<std::unique_ptr<Station>> v;
        for (int i = 0; i < 5; ++i) {
            std::string a = "10.213.0." + std::to_string(i + 2);
            v.push_back(std::make_unique<Station>(a.c_str(), 7001 + i));
        }
        return v;
    }();
    return s;
}

Station& writer() {
    static Station w = [] { return Station{"10.213.0.1", 7000}; }();
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

// One 64-byte block decrypted with the station's private key.
void BM_DecryptBlock(benchmark::State& state) {
    Station& s = *others()[0];
    std::mt19937 rng(2);
    std::string plain = block_of(rng, PLAIN);
    int len = PLAIN;
    Skeys k = s.rsa.get_my_keys();
    std::unique_ptr<char[]> c(s.rsa.crypt(plain.data(), &len, k));
    std::string cipher(c.get(), static_cast<size_t>(len));
    for (auto _ : state) {
        int l = CIPHER;
        std::unique_ptr<char[]> p(s.rsa.decrypt(cipher.data(), &l));
        benchmark::DoNotOptimize(p.get());
    }
}
BENCHMARK(BM_DecryptBlock)->Unit(benchmark::kMicrosecond)->MinTime(0.2)->Repetitions(5);

// The key generator leaves d negative for about half of the seeds; a station's
// decryption then works with -d and m's inverse. One block each way.
void BM_DecryptBlockBySign(benchmark::State& state) {
    const int want = static_cast<int>(state.range(0));
    static std::unique_ptr<Station> by_sign[2];
    std::unique_ptr<Station>& s = by_sign[want > 0];
    for (long seed = 8000; !s; ++seed) {
        auto c = std::make_unique<Station>("10.213.0.9", seed);
        if (CrsaInspector::sign_of_d(c->rsa) == want) s = std::move(c);
    }
    std::mt19937 rng(2);
    std::string plain = block_of(rng, PLAIN);
    int len = PLAIN;
    std::unique_ptr<char[]> c(s->rsa.crypt(plain.data(), &len, s->rsa.get_my_keys()));
    std::string cipher(c.get(), static_cast<size_t>(len));
    for (auto _ : state) {
        int l = CIPHER;
        std::unique_ptr<char[]> p(s->rsa.decrypt(cipher.data(), &l));
        benchmark::DoNotOptimize(p.get());
    }
}
BENCHMARK(BM_DecryptBlockBySign)->Arg(1)->Arg(-1)->Unit(benchmark::kMicrosecond)->MinTime(0.2)->Repetitions(5);

// A station decrypts after sleeping in its loop, not in a tight loop: caches
// and the idle CPU make that first block slower. Timed alone after 5 ms asleep.
void BM_DecryptBlockAfterIdle(benchmark::State& state) {
    Station& s = *others()[0];
    std::mt19937 rng(2);
    std::string plain = block_of(rng, PLAIN);
    int len = PLAIN;
    std::unique_ptr<char[]> c(s.rsa.crypt(plain.data(), &len, s.rsa.get_my_keys()));
    std::string cipher(c.get(), static_cast<size_t>(len));
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
    Station s("127.0.0.7", 7000);
    char dir[] = "/tmp/cibula-bench-XXXXXX";
    if (!mkdtemp(dir)) {
        state.SkipWithError("no temp folder");
        return;
    }
    std::string old = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    s.net.create_file();
    for (auto _ : state) s.net.save_to_file("DOBA PRENOSU: 2ms.\n");
    std::filesystem::current_path(old);
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_TranscriptLine)->Unit(benchmark::kMicrosecond)->MinTime(0.2)->Repetitions(3);

// ---------------------------------------------------------------- onions

// create_onion for a route of `relays` relays to a recipient; the writer's
// list holds the five others. No transcript: create_file is never called.
void BM_CreateOnion(benchmark::State& state) {
    const int relays = static_cast<int>(state.range(0));
    Station& w = writer();
    auto& o = others();
    for (auto& s : o) w.net.stations().add(dotted(s->net.own_address()).c_str(), s->rsa.get_my_keys());
    std::stack<uint32_t> route;  // first hop pushed first, recipient on top
    for (int i = 0; i < relays; ++i) route.push(o[static_cast<size_t>(i % 4)]->net.own_address());
    route.push(o[4]->net.own_address());
    for (auto _ : state) {
        int len = static_cast<int>(std::strlen(TEXT));
        uint32_t to = 0, first = 0;
        std::unique_ptr<char[]> p(w.net.create_onion(route, TEXT, &len, &to, &first));
        if (!p) state.SkipWithError("no onion");
        benchmark::DoNotOptimize(p.get());
    }
    state.counters["blocks_crypted"] = (relays + 1) * (relays + 2) / 2;
}
BENCHMARK(BM_CreateOnion)->Arg(0)->Arg(1)->Arg(3)->Arg(8)->Arg(10)->Arg(37)
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
void BM_RelayPeel(benchmark::State& state) {
    const int blocks = static_cast<int>(state.range(0));
    Station& relay = *others()[1];
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
BENCHMARK(BM_RelayPeel)->Arg(2)->Arg(4)->Arg(39)->Unit(benchmark::kMicrosecond)->MinTime(0.2)->Repetitions(3);

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
