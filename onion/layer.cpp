#include "onion/layer.h"

#include <cstring>
#include <memory>

namespace {

char* frame(const char* header, int h, const char* buf, int* len, uint32_t address) {
    const int n = *len > 0 ? *len : 0;
    std::unique_ptr<char[]> out(new char[static_cast<size_t>(n + h + 4) + 1]());
    std::memcpy(out.get(), header, static_cast<size_t>(h));
    std::memcpy(out.get() + h, &address, 4);  // already in network byte order
    if (n > 0) std::memcpy(out.get() + h + 4, buf, static_cast<size_t>(n));
    *len = n + h + 4;
    return out.release();
}

char* unframe(const char* buf, int n, int header_len, uint32_t* address) {
    std::memcpy(address, buf + header_len - 4, 4);
    const int rest = n - header_len;
    std::unique_ptr<char[]> out(new char[static_cast<size_t>(rest) + 1]());
    if (rest > 0) std::memcpy(out.get(), buf + header_len, static_cast<size_t>(rest));
    return out.release();
}

}  // namespace

void Clayer::write_ip_header(char* out, uint32_t address) {
    std::memcpy(out, "IP:", 3);
    std::memcpy(out + 3, &address, 4);  // already in network byte order
}

char* Clayer::add_ip_prefix(const char* buf, int* len, uint32_t address) {
    return frame("IP:", 3, buf, len, address);
}

char* Clayer::add_mess_prefix(const char* buf, int* len, uint32_t address) {
    return frame("MESS:", 5, buf, len, address);
}

char* Clayer::delete_prefix(char* buf, int* len, uint32_t* address, bool* last) {
    std::unique_ptr<char[]> input(buf);  // freed on every path
    *address = 0;
    const int n = buf ? *len : 0;
    if (n >= IP_HEADER && std::memcmp(buf, "IP:", 3) == 0) {
        char* out = unframe(buf, n, IP_HEADER, address);
        *len = n - IP_HEADER;
        *last = false;
        return out;
    }
    if (n >= MESS_HEADER && std::memcmp(buf, "MESS:", 5) == 0) {
        char* out = unframe(buf, n, MESS_HEADER, address);
        *len = n - MESS_HEADER;
        *last = true;
        return out;
    }
    return nullptr;
}
