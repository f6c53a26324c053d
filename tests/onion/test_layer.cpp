// A layer's header: "IP:" or "MESS:", then four address bytes (network
// order), then any payload. Peeling is checked through a station, by the
// committed corpus of fuzz_prefix.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <memory>
#include <string>

#include "onion/layer.h"

TEST(Layer, HeadersFrameAnyPayload) {
    std::string every;  // every byte value, 0x80-0xFF first so the zero sits mid-payload
    for (int i = 0; i < 256; ++i) every.push_back(static_cast<char>(i + 128));
    const uint32_t a = inet_addr("10.0.0.1");
    for (const std::string& payload : {std::string(), every}) {
        int len = static_cast<int>(payload.size());
        std::unique_ptr<char[]> framed(Clayer::add_ip_prefix(payload.data(), &len, a));
        EXPECT_EQ(std::string(framed.get(), static_cast<size_t>(len) + 1),
                  std::string("IP:\x0A\x00\x00\x01", 7) + payload + '\0');
        len = static_cast<int>(payload.size());
        framed.reset(Clayer::add_mess_prefix(payload.data(), &len, a));
        EXPECT_EQ(std::string(framed.get(), static_cast<size_t>(len) + 1),
                  std::string("MESS:\x0A\x00\x00\x01", 9) + payload + '\0');
    }
}
