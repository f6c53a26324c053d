#include <cstdlib>
#include <memory>
#include <string>

#include "net/net.h"
#include "onion/layer.h"

void Cnet::generate_path(std::stack<uint32_t>* route, int length) {
    if (length == 0) return;
    const int size = list.get_size();
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
            position = std::rand() % size + 1;
        } while (position == previous);
        route->push(list.get_ip(position));
        previous = position;
    }
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
    say("VYGENEROVANA TRASA:");
    save_to_file(record.c_str());
    return layer.release();
}
