#pragma once
#include <cstdint>

// One onion layer: "IP:" + next hop (4 bytes, network order) + the inner
// layer, or "MESS:" + writer's address + the text. Returned buffers carry one
// uncounted zero byte after the content.
class Clayer {
public:
    static constexpr int IP_HEADER = 7;
    static constexpr int MESS_HEADER = 9;

    static char* add_ip_prefix(const char* buf, int* len, uint32_t address);
    static char* add_mess_prefix(const char* buf, int* len, uint32_t address);
    // Writes the IP_HEADER bytes of an IP layer's header at `out`.
    static void write_ip_header(char* out, uint32_t address);
    // Takes ownership of `buf` and frees it. Returns the payload, or null when
    // the buffer holds no complete header of either kind (address then 0).
    static char* delete_prefix(char* buf, int* len, uint32_t* address, bool* last);

    Clayer() = delete;
};
