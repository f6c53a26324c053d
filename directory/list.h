#pragma once
#include <cstdint>
#include <list>

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

private:
    std::list<Cuser> users_;
};
