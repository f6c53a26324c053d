// Writes the seed inputs of the fuzz targets: announcements, acknowledgements
// and onion packets of 0, 1 and 3 relays for the keys the targets use, whole
// and cut short. Usage: make_corpus <corpus folder>
#include <filesystem>
#include <fstream>
#include <stack>

#include "harness.h"
#include "onion/layer.h"

namespace {

std::filesystem::path root;

void put(const char* target, const std::string& name, const std::string& bytes) {
    std::filesystem::create_directories(root / target);
    std::ofstream(root / target / name, std::ios::binary) << bytes;
}

std::string announcement(const char* tag, Crsa* rsa) {
    int len = 0;
    std::unique_ptr<char[]> m(std::string(tag) == "HELLO" ? Cmessages::create_hello_message(rsa->get_my_keys(), &len)
                                                          : Cmessages::create_welcome_message(rsa->get_my_keys(), &len));
    return std::string(m.get(), static_cast<size_t>(len));
}

// One record of the announcement target: source byte, length, bytes.
std::string record(uint8_t source, const std::string& bytes) {
    return std::string{static_cast<char>(source), static_cast<char>(bytes.size() & 0xFF),
                       static_cast<char>(bytes.size() >> 8)} + bytes;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    root = argv[1];
    std::unique_ptr<Crsa> peers[7];
    for (int i = 3; i <= 6; ++i) peers[i].reset(fuzz::keyed(i));
    const std::string hello = announcement("HELLO", peers[3].get()), welcome = announcement("WELCOME", peers[4].get());
    const std::string ack = "ACK", bye = "BYE";

    for (const char* t : {"fuzz_datagram", "fuzz_unwrap"}) {
        put(t, "hello", hello);
        put(t, "hello-short", hello.substr(0, hello.size() - 1));
        put(t, "welcome", welcome);
        put(t, "welcome-short", welcome.substr(0, welcome.size() - 1));
        put(t, "ack", ack);
        put(t, "ack-short", "AC");
        put(t, "bye", bye);
        put(t, "bye-short", "BY");
    }
    // Source bytes: 0x02 is 10.0.0.3, 0x03 10.0.0.4, 0x00 the station itself,
    // 0x80 and above a connection's message.
    put("fuzz_announce", "hello", record(0x02, hello));
    put("fuzz_announce", "hello-short", record(0x02, hello.substr(0, 133)));
    put("fuzz_announce", "hello-own", record(0x00, hello));
    put("fuzz_announce", "hello-bye", record(0x02, hello) + record(0x02, bye));
    put("fuzz_announce", "welcome", record(0x83, welcome));
    put("fuzz_announce", "welcome-short", record(0x83, welcome.substr(0, 135)));
    put("fuzz_announce", "mixed", record(0x02, hello) + record(0x03, hello) + record(0x84, welcome) +
                                      record(0x02, "BYE!") + record(0x02, hello) + record(0x03, "BY"));

    // Onions written by 10.0.0.5 to 10.0.0.6, over the fuzzed station at
    // 10.0.0.1 and the relays 10.0.0.3 and 10.0.0.4.
    std::unique_ptr<Crsa> writer_key(fuzz::keyed(5));
    for (long seed : {fuzz::NEGATIVE_D_SEED, fuzz::POSITIVE_D_SEED}) {
        std::unique_ptr<Crsa> mine(fuzz::keyed(seed));
        Cnet writer;
        writer.set_rsa(writer_key.get());
        writer.set_own_address(fuzz::host(5));
        writer.stations().add("10.0.0.1", mine->get_my_keys());
        for (int i : {3, 4, 6}) writer.stations().add(dotted(fuzz::host(i)).c_str(), peers[i]->get_my_keys());
        const std::string text = "Ahoj, stretneme sa o piatej pri fontane? Prines aj tu knihu, prosim.";
        for (auto [relays, hops] : {std::pair{0, std::vector<int>{1}}, {1, {1, 6}}, {3, {1, 3, 4, 6}}}) {
            std::stack<uint32_t> route;  // first hop pushed first, recipient on top
            for (int h : hops) route.push(fuzz::host(h));
            int len = static_cast<int>(text.size());
            uint32_t to = 0, first = 0;
            std::unique_ptr<char[]> onion(writer.create_onion(route, text.c_str(), &len, &to, &first));
            if (!onion) return 1;
            const std::string packet(onion.get(), static_cast<size_t>(len));
            const std::string name = "onion" + std::to_string(relays) + "-seed" + std::to_string(seed);
            put("fuzz_unwrap", name, packet);
            put("fuzz_unwrap", name + "-short", packet.substr(0, packet.size() - 1));
            put("fuzz_unwrap", name + "-block", packet.substr(0, Crsa::CIPHER_BLOCK));
            if (seed != fuzz::POSITIVE_D_SEED) continue;
            // What the station has left to unframe once it took its block off.
            int n = len;
            std::unique_ptr<char[]> plain(mine->decrypt(packet.data(), &n));
            std::unique_ptr<char[]> layer(mine->delete_padding(plain.get(), &n));
            const std::string framed(layer.get(), static_cast<size_t>(n));
            put("fuzz_prefix", "layer" + std::to_string(relays), framed);
            if (relays == 0) {
                for (int cut : {8, 9}) put("fuzz_prefix", "mess-cut" + std::to_string(cut), framed.substr(0, cut));
            } else if (relays == 1) {
                for (int cut : {6, 7}) put("fuzz_prefix", "ip-cut" + std::to_string(cut), framed.substr(0, cut));
            }
        }
    }
    return 0;
}
