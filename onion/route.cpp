#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "net/net.h"
#include "net/trace.h"
#include "onion/layer.h"

void Cnet::generate_path(std::stack<uint32_t>* route, int length) {
    if (length == 0) return;
    // Stations this one failed to reach are left out until heard from again.
    const std::vector<uint32_t> stations = list.routable();
    const int size = static_cast<int>(stations.size());
    if (size == 0) {
        say("");
        say("Nie su dostupne ziadne stanice");
        return;
    }
    if (size == 1 && length > 1) length = 1;
    int previous = -1;
    for (int i = 0; i < length; ++i) {
        int position;
        do {
            position = std::rand() % size;
        } while (position == previous);
        route->push(stations[static_cast<size_t>(position)]);
        previous = position;
    }
}

void Cnet::send_message(const char* text, uint32_t recipient, int route_length, int64_t started_ms) {
    Waiting message{recipient, started_ms, false, next_message++, route_length, 0, text};
    // A message whose route or onion cannot be made was never sent: it says
    // why, and nothing waits for it.
    if (!attempt(message)) return;
    waiting.push_back(std::move(message));
    watch_waiting();
}

bool Cnet::attempt(Waiting& message) {
    std::stack<uint32_t> route;
    generate_path(&route, message.route_length);
    // Relays asked for, stations listed, none that can be reached: going
    // straight to the recipient would give away who writes to whom.
    if (message.route_length > 0 && route.empty() && list.get_size() > 0) return false;
    if (route.empty() || route.top() != message.recipient) route.push(message.recipient);
    int length = static_cast<int>(message.text.size());
    uint32_t final_address = 0;
    uint32_t first_hop = 0;
    std::unique_ptr<char[]> onion(create_onion(route, message.text.c_str(), &length, &final_address, &first_hop));
    if (!onion) return false;
    if (print) print->printout_mess(message.text.c_str(), dotted(final_address).c_str(), "OUT");
    ++message.attempts;
    send_unicast(onion.get(), dotted(first_hop).c_str(), length,
                 [this, id = message.id, first_hop](bool reached) { attempted(id, first_hop, reached); });
    return true;
}

void Cnet::attempted(uint64_t id, uint32_t first_hop, bool reached) {
    if (!reached) list.unreachable(first_hop);
    auto it = std::find_if(waiting.begin(), waiting.end(), [id](const Waiting& m) { return m.id == id; });
    if (it == waiting.end()) return;  // reported unconfirmed already
    if (reached) {
        it->reached = true;
        return;
    }
    // With the recipient as first hop there is nothing to route around.
    if (first_hop != it->recipient && it->attempts <= RETRIES && attempt(*it)) return;
    unconfirmed(it);
}
char* Cnet::create_onion(std::stack<uint32_t> route, const char* text, int* length,
                         uint32_t* recipient, uint32_t* first_hop) {
    if (route.empty() || !rsa) return nullptr;
    *first_hop = route.top();
    route.pop();
    *recipient = *first_hop;
    std::string name = dotted(*first_hop);
    const Skeys* key = list.find_keys(*first_hop);
    if (!key || key->key[0] == 0) {
        say("");
        say("Stanica neexistuje.");
        return nullptr;
    }
    say("");
    say(name.c_str());
    std::string record = "JA -> ";
    record.append(name).append(" : ").append(text).append("\nVYGENEROVANA TRASA:\n").append(name);

    // Each layer is encrypted, padding implied, straight into a buffer that
    // keeps room in front for the IP header of the layer around it, so
    // framing copies nothing; only the outermost layer starts at offset 0.
    auto seal = [&](const char* plain, const Skeys& k) {
        const int head = route.empty() ? 0 : Clayer::IP_HEADER;
        const int size = rsa->crypted_length(*length);
        std::unique_ptr<char[]> out(new char[static_cast<size_t>(head + size) + 1]);
        rsa->crypt_padded(plain, *length, k, out.get() + head);
        out[head + size] = 0;
        *length = size;
        return out;
    };
    std::unique_ptr<char[]> layer;
    {
        std::unique_ptr<char[]> framed(Clayer::add_mess_prefix(text, length, my_IPaddr));
        layer = seal(framed.get(), *key);
    }
    while (!route.empty()) {
        Clayer::write_ip_header(layer.get(), *first_hop);
        *length += Clayer::IP_HEADER;
        *first_hop = route.top();
        route.pop();
        name = dotted(*first_hop);
        key = list.find_keys(*first_hop);
        say(name.c_str());
        record.append("\n").append(name);
        if (!key || key->key[0] == 0) {
            say("Stanica neexistuje.");
            return nullptr;
        }
        layer = seal(layer.get(), *key);
        // No station reads a packet longer than this, so a longer route can
        // never arrive; stop before building the rest of it.
        if (*length > RECEIVE_MAX) {
            say("");
            say("Trasa je prilis dlha.");
            return nullptr;
        }
    }
    TRACE_POINT(onion, *first_hop);
    say("VYGENEROVANA TRASA:");
    save_to_file(record.c_str());
    TRACE_POINT(route_saved, 0);
    return layer.release();
}
