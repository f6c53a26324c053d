#include "directory/list.h"

#include <arpa/inet.h>

#include <algorithm>

namespace {
uint32_t to_addr(const char* address) { return inet_addr(address); }
}  // namespace

Clist::Entry* Clist::find(uint32_t address) {
    for (Entry& e : users_)
        if (e.user.get_ip() == address) return &e;
    return nullptr;
}

bool Clist::add(const char* address, Skeys key) {
    uint32_t a = to_addr(address);
    if (find(a)) return false;
    users_.push_front(Entry{Cuser(a, std::move(key))});
    return true;
}

bool Clist::replace(const char* address, Skeys key) {
    uint32_t a = to_addr(address);
    Entry* e = find(a);
    if (!e) return false;
    if (e->user.get_keys() == key) return false;
    // A new key is a new run of the station: whether it repeats its HELLO
    // is learnt anew.
    *e = Entry{Cuser(a, std::move(key)), 0, e->last_heard_ms, false};
    return true;
}

bool Clist::erase(const char* address) {
    uint32_t a = to_addr(address);
    auto it = std::find_if(users_.begin(), users_.end(),
                           [a](const Entry& e) { return e.user.get_ip() == a; });
    if (it == users_.end()) return false;
    users_.erase(it);
    return true;
}

Skeys Clist::get_keys(const char* address) const {
    const Skeys* k = find_keys(to_addr(address));
    return k ? *k : Skeys{};
}

const Skeys* Clist::find_keys(uint32_t address) const {
    for (const Entry& e : users_)
        if (e.user.get_ip() == address) return &e.user.get_keys();
    return nullptr;
}

uint32_t Clist::get_ip(int position) const {
    if (position < 1 || position > get_size()) return 0;
    auto it = users_.begin();
    std::advance(it, position - 1);
    return it->user.get_ip();
}

int Clist::get_size() const { return static_cast<int>(users_.size()); }

void Clist::erase_all() { users_.clear(); }

void Clist::heard(uint32_t address, bool announced, int64_t now_ms) {
    Entry* e = find(address);
    if (!e) return;
    e->last_heard_ms = now_ms;
    e->unreachable = false;
    if (announced && e->hellos < 2) ++e->hellos;
}

std::vector<uint32_t> Clist::silent(int64_t now_ms, int64_t silence_ms) const {
    std::vector<uint32_t> out;
    for (const Entry& e : users_)
        if (e.hellos >= 2 && now_ms - e.last_heard_ms >= silence_ms) out.push_back(e.user.get_ip());
    return out;
}

void Clist::unreachable(uint32_t address) {
    if (Entry* e = find(address)) e->unreachable = true;
}

std::vector<uint32_t> Clist::routable() const {
    std::vector<uint32_t> out;
    for (const Entry& e : users_)
        if (!e.unreachable) out.push_back(e.user.get_ip());
    return out;
}
