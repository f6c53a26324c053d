#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "crypto/rsa.h"
#include "directory/messages.h"

namespace {

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

// The announcement's counted bytes, after checking the zero byte behind them.
std::string build(const Kind& kind, const Skeys& k) {
    int len = -1;
    std::unique_ptr<char[]> msg(kind.create(k, &len));
    EXPECT_EQ(len, kind.length);
    EXPECT_EQ(msg[len], 0);
    return std::string(msg.get(), static_cast<size_t>(len));
}

TEST(Announcements, TagThenLittleEndianFieldsThenZeroAndBack) {
    Crsa rsa;
    rsa.init_crypto_keys(Crsa::KEY_BITS, Crsa::PLAIN_BLOCK, 4);
    Skeys small;
    small.key[0] = 0x0102;
    small.key[1] = 0x030405;
    for (const Kind& kind : kKinds) {
        SCOPED_TRACE(kind.tag);
        std::string expect = kind.tag + std::string(static_cast<size_t>(kind.length) - kind.tag.size(), '\0');
        expect.replace(kind.tag.size(), 2, "\x02\x01");
        expect.replace(kind.tag.size() + 64, 3, "\x05\x04\x03");
        EXPECT_EQ(build(kind, small), expect);
        EXPECT_EQ(build(kind, Skeys{}), kind.tag + std::string(129, '\0'));
        for (const Skeys& k : {small, Skeys{}, rsa.get_my_keys()}) {
            const std::string msg = build(kind, k);
            std::unique_ptr<char[]> copy(new char[msg.size()]);  // exactly its length: ASan sees over-reads
            std::memcpy(copy.get(), msg.data(), msg.size());
            Skeys back = kind.decode(copy.get());
            EXPECT_EQ(back.key[0], k.key[0]);
            EXPECT_EQ(back.key[1], k.key[1]);
        }
    }
}

}  // namespace
