#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "onion/layer.h"

namespace {

// A buffer of exactly the bytes' length, as the network hands it over.
char* exact(const std::string& b) {
    char* p = new char[b.size()];
    std::memcpy(p, b.data(), b.size());
    return p;
}

TEST(Layer, BothKindsFrameAnyPayloadAndPeelBack) {
    std::string every;  // every byte value, 0x80-0xFF first so the zero sits mid-payload
    for (int i = 0; i < 256; ++i) every.push_back(static_cast<char>(i + 128));
    for (const std::string& payload : {std::string(), every}) {
        for (bool mess : {false, true}) {
            const std::string header = mess ? std::string("MESS:\xAC\x10\x00\x01", 9) : std::string("IP:\x0A\x00\x00\x01", 7);
            SCOPED_TRACE(header + payload);
            const uint32_t address = inet_addr(mess ? "172.16.0.1" : "10.0.0.1");
            std::unique_ptr<char[]> in(exact(payload));
            int len = static_cast<int>(payload.size());
            std::unique_ptr<char[]> out(mess ? Clayer::add_mess_prefix(in.get(), &len, address)
                                             : Clayer::add_ip_prefix(in.get(), &len, address));
            ASSERT_EQ(std::string(out.get(), static_cast<size_t>(len)), header + payload);
            EXPECT_EQ(out[len], 0);

            uint32_t peeled = 0;
            bool last = !mess;
            std::unique_ptr<char[]> back(Clayer::delete_prefix(exact(header + payload), &len, &peeled, &last));
            ASSERT_TRUE(back);
            EXPECT_EQ(std::string(back.get(), static_cast<size_t>(len)), payload);
            EXPECT_EQ(back[len], 0);
            EXPECT_EQ(peeled, address);
            EXPECT_EQ(last, mess);
        }
    }
}

// Foreign or cut-off headers are refused; the buffer is still released (LSan
// reports a leak otherwise) and the caller's length and flag stay as they were.
TEST(Layer, UnknownOrShortHeaderIsRefused) {
    for (const std::string b : {"", "IP", "ip:1234", "MESS1234x", "IP;1234", "IP:", "IP:123", "MESS:", "MESS:123",
                                "\xC3\x28\xA0\xFF\x9C\x7F\x01"}) {
        SCOPED_TRACE(b);
        int len = static_cast<int>(b.size());
        uint32_t address = 0xDEADBEEF;
        bool last = true;
        std::unique_ptr<char[]> out(Clayer::delete_prefix(exact(b), &len, &address, &last));
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(address, 0u);
        EXPECT_EQ(len, static_cast<int>(b.size()));
        EXPECT_TRUE(last);
    }
}

}  // namespace
