#include "directory/list.h"

#include <arpa/inet.h>

#include <algorithm>

namespace {
uint32_t to_addr(const char* address) { return inet_addr(address); }
}  // namespace

bool Clist::add(const char* address, Skeys key) {
    uint32_t a = to_addr(address);
    for (const Cuser& u : users_)
        if (u.get_ip() == a) return false;
    users_.emplace_front(a, std::move(key));
    return true;
}

bool Clist::replace(const char* address, Skeys key) {
    uint32_t a = to_addr(address);
    for (Cuser& u : users_) {
        if (u.get_ip() != a) continue;
        const Skeys& held = u.get_keys();
        if (held.key[0] == key.key[0] && held.key[1] == key.key[1]) return false;
        u = Cuser(a, std::move(key));
        return true;
    }
    return false;
}

bool Clist::erase(const char* address) {
    uint32_t a = to_addr(address);
    auto it = std::find_if(users_.begin(), users_.end(),
                           [a](const Cuser& u) { return u.get_ip() == a; });
    if (it == users_.end()) return false;
    users_.erase(it);
    return true;
}

Skeys Clist::get_keys(const char* address) const {
    const Skeys* k = find_keys(to_addr(address));
    return k ? *k : Skeys{};
}

const Skeys* Clist::find_keys(uint32_t address) const {
    for (const Cuser& u : users_)
        if (u.get_ip() == address) return &u.get_keys();
    return nullptr;
}

uint32_t Clist::get_ip(int position) const {
    if (position < 1 || position > get_size()) return 0;
    auto it = users_.begin();
    std::advance(it, position - 1);
    return it->get_ip();
}

int Clist::get_size() const { return static_cast<int>(users_.size()); }

void Clist::erase_all() { users_.clear(); }
