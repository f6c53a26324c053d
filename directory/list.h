#pragma once
#include <cstdint>
#include <list>
#include <vector>

#include "directory/user.h"

// The known stations, newest first, at most one record per address.
// Addresses arrive as dotted text and are compared as 32-bit values.
class Clist {
public:
    bool add(const char* address, Skeys key);
    // A listed station that comes back with another key (it was restarted)
    // takes the new key and keeps its place. False, and nothing changes, when
    // the address is not listed or holds that key already.
    bool replace(const char* address, Skeys key);
    bool erase(const char* address);
    Skeys get_keys(const char* address) const;
    // The key held for an address, without a copy; null when none is held.
    // Valid until the list next changes.
    const Skeys* find_keys(uint32_t address) const;
    uint32_t get_ip(int position) const;  // 1 .. get_size(); 0 outside
    int get_size() const;
    void erase_all();

    // Something came from a listed address at now_ms; `announced` when it was
    // its HELLO. Unlisted addresses are not remembered.
    void heard(uint32_t address, bool announced, int64_t now_ms);
    // The listed stations that have shown they repeat their HELLO (heard at
    // least twice since listed or re-keyed) and from which nothing has come
    // for silence_ms up to now_ms. A station that announces only
    // once cannot be told apart from a quiet one, so it is never among them.
    std::vector<uint32_t> silent(int64_t now_ms, int64_t silence_ms) const;
    // A listed station this station failed to reach: left out of its routes
    // (routable) until something is heard from it again.
    void unreachable(uint32_t address);
    // The listed stations a route may be drawn through, newest first.
    std::vector<uint32_t> routable() const;

private:
    struct Entry {
        Cuser user;
        int hellos = 0;
        int64_t last_heard_ms = 0;
        bool unreachable = false;
    };
    Entry* find(uint32_t address);
    std::list<Entry> users_;
};
