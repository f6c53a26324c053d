#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "crypto/rsa.h"
#include "directory/messages.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct Kind {
    std::string tag;
    int length;
    char* (*create)(Skeys, int*);
    Skeys (*decode)(const char*);
};
const Kind kKinds[] = {
    {"HELLO", 134, Cmessages::create_hello_message, Cmessages::decode_hello_message},
    {"WELCOME", 136, Cmessages::create_welcome_message, Cmessages::decode_welcome_message},
};

// Counted bytes of the announcement, after checking the zero byte behind them.
Bytes build(const Kind& kind, const Skeys& k) {
    int len = -1;
    std::unique_ptr<char[]> msg(kind.create(k, &len));
    EXPECT_EQ(len, kind.length);
    EXPECT_EQ(msg[len], 0);
    return Bytes(msg.get(), msg.get() + len);
}

// Decodes from a copy of exactly the announcement's length.
void expect_decodes_to(const Kind& kind, const Bytes& msg, const Skeys& k) {
    std::unique_ptr<char[]> copy(new char[msg.size()]);
    std::memcpy(copy.get(), msg.data(), msg.size());
    Skeys back = kind.decode(copy.get());
    EXPECT_EQ(back.key[0], k.key[0]);
    EXPECT_EQ(back.key[1], k.key[1]);
}

TEST(Announcements, TagThenLittleEndianFieldsThenZero) {
    Skeys k;
    k.key[0] = 0x0102;
    k.key[1] = 0x030405;
    for (const Kind& kind : kKinds) {
        SCOPED_TRACE(kind.tag);
        const size_t t = kind.tag.size();
        Bytes expect(static_cast<size_t>(kind.length), 0);
        std::memcpy(expect.data(), kind.tag.data(), t);
        expect[t] = 0x02, expect[t + 1] = 0x01;
        expect[t + 64] = 0x05, expect[t + 65] = 0x04, expect[t + 66] = 0x03;
        EXPECT_EQ(build(kind, k), expect);
    }
}

TEST(Announcements, KeysSurviveBuildAndDecode) {
    Crsa rsa;
    rsa.init_crypto_keys(512, 63, 4);
    for (const Kind& kind : kKinds) {
        SCOPED_TRACE(kind.tag);
        expect_decodes_to(kind, build(kind, rsa.get_my_keys()), rsa.get_my_keys());
        Bytes zero = build(kind, Skeys{});
        EXPECT_EQ(Bytes(zero.begin() + static_cast<long>(kind.tag.size()), zero.end()), Bytes(129, 0));
        expect_decodes_to(kind, zero, Skeys{});
    }
}

}  // namespace
