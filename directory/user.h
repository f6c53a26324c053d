#pragma once
#include <cstdint>

#include "crypto/keys.h"

// One known station: its address (network byte order) and public key.
class Cuser {
public:
    Cuser(uint32_t address, Skeys keys) : address_(address), keys_(std::move(keys)) {}
    uint32_t get_ip() const { return address_; }
    const Skeys& get_keys() const { return keys_; }

private:
    uint32_t address_;
    Skeys keys_;
};
