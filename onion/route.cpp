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
    Skeys key = list.get_keys(name.c_str());
    if (key.key[0] == 0) {
        say("");
        say("Stanica neexistuje.");
        return nullptr;
    }
    say("");
    say(name.c_str());
    std::string record = "JA -> " + name + " : " + text + "\nVYGENEROVANA TRASA:\n" + name;

    // Each layer: frame, pad, encrypt for its station; only the newest is kept.
    auto seal = [&](const char* framed, const Skeys& k) {
        std::unique_ptr<char[]> padded(rsa->add_padding(framed, length));
        return std::unique_ptr<char[]>(rsa->crypt(padded.get(), length, k));
    };
    std::unique_ptr<char[]> framed(Clayer::add_mess_prefix(text, length, my_IPaddr));
    std::unique_ptr<char[]> layer = seal(framed.get(), key);

    while (!route.empty()) {
        framed.reset(Clayer::add_ip_prefix(layer.get(), length, *first_hop));
        layer.reset();
        *first_hop = route.top();
        route.pop();
        name = dotted(*first_hop);
        key = list.get_keys(name.c_str());
        say(name.c_str());
        record += "\n" + name;
        if (key.key[0] == 0) {
            say("Stanica neexistuje.");
            return nullptr;
        }
        layer = seal(framed.get(), key);
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
