#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "onion/layer.h"

namespace {

using Bytes = std::vector<unsigned char>;

// A buffer of exactly the bytes' length, as the network hands it over.
char* exact(const Bytes& b) {
    char* p = new char[b.size()];
    if (!b.empty()) std::memcpy(p, b.data(), b.size());
    return p;
}
Bytes bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes wrap(const Bytes& payload, uint32_t address, bool mess) {
    std::unique_ptr<char[]> in(exact(payload));
    int len = static_cast<int>(payload.size());
    std::unique_ptr<char[]> out(mess ? Clayer::add_mess_prefix(in.get(), &len, address)
                                     : Clayer::add_ip_prefix(in.get(), &len, address));
    EXPECT_EQ(len, static_cast<int>(payload.size()) + (mess ? 9 : 7));
    EXPECT_EQ(out[len], 0);
    return Bytes(out.get(), out.get() + len);
}

struct Peeled { bool ok = false; Bytes payload; uint32_t address = 0; bool last = false; };

Peeled peel(const Bytes& layer, bool last_before = false) {
    Peeled p;
    p.last = last_before;
    int len = static_cast<int>(layer.size());
    std::unique_ptr<char[]> out(Clayer::delete_prefix(exact(layer), &len, &p.address, &p.last));
    if ((p.ok = out != nullptr)) {
        EXPECT_EQ(out[len], 0);
        p.payload.assign(out.get(), out.get() + len);
    }
    return p;
}

TEST(Layer, EmptyHopLayerAndZeroOctets) {
    const uint32_t hop = inet_addr("192.168.1.7");
    Bytes layer = wrap({}, hop, false);
    EXPECT_EQ(layer, (Bytes{'I', 'P', ':', 192, 168, 1, 7}));
    Peeled p = peel(layer, true);
    ASSERT_TRUE(p.ok);
    EXPECT_TRUE(p.payload.empty());
    EXPECT_EQ(p.address, hop);
    EXPECT_FALSE(p.last);

    layer = wrap(bytes("x"), inet_addr("10.0.0.1"), false);
    EXPECT_EQ(layer, (Bytes{'I', 'P', ':', 0x0A, 0x00, 0x00, 0x01, 'x'}));
    EXPECT_EQ(peel(layer).address, inet_addr("10.0.0.1"));
}

TEST(Layer, BinaryPayloadSurvivesBothKinds) {
    Bytes text;  // every byte value, 0x80-0xFF first so the zero sits mid-payload
    for (int i = 0; i < 256; ++i) text.push_back(static_cast<unsigned char>(i + 128));
    const uint32_t writer = inet_addr("172.16.0.200");
    for (bool mess : {false, true}) {
        const std::string header = mess ? "MESS:" : "IP:";
        SCOPED_TRACE(header);
        Bytes layer = wrap(text, writer, mess);
        EXPECT_EQ(std::string(layer.begin(), layer.begin() + static_cast<long>(header.size())), header);
        Peeled p = peel(layer, !mess);
        ASSERT_TRUE(p.ok);
        EXPECT_EQ(p.payload, text);
        EXPECT_EQ(p.address, writer);
        EXPECT_EQ(p.last, mess);
    }
}

TEST(Layer, OnionPeelsInOrder) {
    const uint32_t writer = inet_addr("10.1.2.3"), hop = inet_addr("10.4.5.6");
    Peeled outer = peel(wrap(wrap(bytes("hi"), writer, true), hop, false));
    ASSERT_TRUE(outer.ok);
    EXPECT_EQ(outer.address, hop);
    Peeled inner = peel(outer.payload);
    ASSERT_TRUE(inner.ok);
    EXPECT_EQ(inner.address, writer);
    EXPECT_TRUE(inner.last);
    EXPECT_EQ(inner.payload, bytes("hi"));
    EXPECT_TRUE(peel(bytes("MESS:abcd")).ok);  // complete header, empty text
}

// Foreign or cut-off headers are refused; the buffer is still released (LSan
// reports a leak otherwise) and the caller's length and flag stay as they were.
TEST(Layer, UnknownOrShortHeaderIsRefused) {
    const std::vector<Bytes> bad = {
        {}, bytes("IP"), bytes("ip:1234"), bytes("MESS1234x"), bytes("IP;1234"), bytes("IP:"),
        bytes("IP:123"), bytes("MESS:"), bytes("MESS:123"), {0xC3, 0x28, 0xA0, 0xFF, 0x00, 0x9C, 0x7F, 0x01},
    };
    for (const Bytes& b : bad) {
        SCOPED_TRACE(std::string(b.begin(), b.end()));
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
