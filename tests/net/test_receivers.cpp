// What a station does with announcements and connection messages it receives.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "directory/messages.h"
#include "net/announce.h"
#include "net/station_fixture.h"

namespace {

std::string hello_of(TestStation& s) {
    int len = 0;
    std::unique_ptr<char[]> m(Cmessages::create_hello_message(s.rsa.get_my_keys(), &len));
    return std::string(m.get(), static_cast<size_t>(len));
}

class Receivers : public ::testing::Test, protected InTempDir {};

TEST_F(Receivers, HelloListsNewStationOnceAndAnswersOnlyThen) {
    TestStation me("127.0.0.1", 11), peer("127.0.0.21", 12), other("127.0.0.20", 14),
        restarted("127.0.0.21", 13);
    me.knows(other);
    std::string hello = hello_of(peer), reply;
    {
        Catcher welcome("127.0.0.21");
        ASSERT_TRUE(welcome.bound());
        me.net.handle_datagram(hello.data(), static_cast<int>(hello.size()), peer.net.own_address());
        reply = welcome.bytes();
    }
    const std::vector<std::string> both{"127.0.0.20", "127.0.0.21"};
    ASSERT_EQ(me.stations.lines(), both);
    ASSERT_EQ(reply.size(), 136u);
    Skeys got = Cmessages::decode_welcome_message(reply.data());
    EXPECT_EQ(got.key[0], me.rsa.get_my_keys().key[0]);
    EXPECT_EQ(got.key[1], me.rsa.get_my_keys().key[1]);

    // The same HELLO again: no reply (the attempt would show a connection
    // failure now, nobody listens), nothing shown.
    me.net.handle_datagram(hello.data(), static_cast<int>(hello.size()), peer.net.own_address());
    EXPECT_TRUE(me.lines().empty());

    // A new key from that address: the station was restarted. Its key is
    // replaced in place and it hears our WELCOME again.
    Catcher again("127.0.0.21");
    std::string fresh = hello_of(restarted);
    me.net.handle_datagram(fresh.data(), static_cast<int>(fresh.size()), peer.net.own_address());
    EXPECT_EQ(again.bytes(), reply);
    EXPECT_EQ(me.stations.lines(), both);
    EXPECT_EQ(me.net.stations().get_keys("127.0.0.21").key[1], restarted.rsa.get_my_keys().key[1]);

    // A WELCOME with yet another key: replaced too, and not answered.
    int len = 0;
    std::unique_ptr<char[]> w(Cmessages::create_welcome_message(peer.rsa.get_my_keys(), &len));
    me.net.handle_message(w.get(), len, peer.net.own_address());
    EXPECT_EQ(me.net.stations().get_keys("127.0.0.21").key[1], peer.rsa.get_my_keys().key[1]);
    EXPECT_EQ(me.stations.lines(), both);
    EXPECT_TRUE(me.lines().empty());
}

TEST(Announce, SoonTwiceThenAboutEveryIntervalNeverAlike) {
    Cannounce a(1), b(2);
    const int at1 = a.next_ms(), at4 = a.next_ms();
    EXPECT_NEAR(at1, 1000, 100);
    EXPECT_NEAR(at1 + at4, 4000, 350);
    std::set<int> seen;
    for (int i = 0; i < 1000; ++i) {
        int gap = a.next_ms();
        EXPECT_GE(gap, Cannounce::INTERVAL_MS - Cannounce::INTERVAL_MS / 12);
        EXPECT_LE(gap, Cannounce::LONGEST_MS);
        seen.insert(gap);
    }
    EXPECT_GT(seen.size(), 500u);
    EXPECT_LE(Cannounce::LONGEST_MS, 33000);
    std::vector<int> ga, gb;
    for (int i = 0; i < 5; ++i) ga.push_back(a.next_ms()), gb.push_back(b.next_ms());
    EXPECT_NE(ga, gb) << "two stations started together must drift apart";
}

TEST_F(Receivers, ShortOwnAndForeignDatagramsChangeNothing) {
    TestStation me("127.0.0.1", 11), peer("127.0.0.23", 12);
    std::string hello = hello_of(peer);
    uint32_t from = peer.net.own_address();
    me.net.handle_datagram(hello.data(), 133, from);  // one byte short
    me.net.handle_datagram("HELLO", 5, from);
    me.net.handle_datagram("", 0, from);
    me.net.handle_datagram("HOLA", 4, from);
    me.net.handle_datagram(hello.data(), 134, me.net.own_address());  // our own, come back
    me.net.handle_datagram("BYE", 3, from);  // not listed
    EXPECT_EQ(me.net.stations().get_size(), 0);
    EXPECT_TRUE(me.stations.lines().empty());
    EXPECT_TRUE(me.lines().empty());
}

TEST_F(Receivers, ByeWithTrailingBytesRemovesTheStation) {
    TestStation me("127.0.0.1", 11), a("127.0.0.24", 12), b("127.0.0.25", 13);
    me.knows(a);
    me.knows(b);
    me.net.handle_datagram("BYE and more", 12, a.net.own_address());
    EXPECT_EQ(me.net.stations().get_size(), 1);
    EXPECT_EQ(me.stations.lines(), std::vector<std::string>{"127.0.0.25"});
}

TEST_F(Receivers, WelcomeIsKeyedByThePeerAndMustBeWhole) {
    TestStation me("127.0.0.1", 11), peer("127.0.0.26", 12);
    int len = 0;
    std::unique_ptr<char[]> w(Cmessages::create_welcome_message(peer.rsa.get_my_keys(), &len));
    me.net.handle_message(w.get(), 135, peer.net.own_address());
    EXPECT_EQ(me.net.stations().get_size(), 0);
    EXPECT_TRUE(me.lines().empty()) << "a short WELCOME is no onion packet either";
    me.net.handle_message(w.get(), len, me.net.own_address());
    EXPECT_EQ(me.net.stations().get_size(), 0) << "a station never lists itself";
    me.net.handle_message(w.get(), len, inet_addr("127.0.0.27"));
    EXPECT_EQ(me.net.stations().get_keys("127.0.0.27").key[1], peer.rsa.get_my_keys().key[1]);
}

TEST_F(Receivers, AckShowsTheTimeAndRecordsIt) {
    TestStation me("127.0.0.1", 11);
    me.net.create_file();
    me.net.start_time();
    me.net.handle_message("ACK!", 4, inet_addr("127.0.0.28"));
    ASSERT_EQ(me.lines().size(), 1u);
    const std::string& line = me.lines()[0];
    EXPECT_TRUE(line.rfind("DOBA PRENOSU: ", 0) == 0 && line.size() > 17 &&
                line.substr(line.size() - 3) == "ms.")
        << line;
    EXPECT_EQ(read_file("127.0.0.1.txt"), line + "\n\n");
}

TEST_F(Receivers, JunkAndZeroBlocksAreReportedNeverFatal) {
    // Seeds whose private exponent is negative and positive: both must live.
    for (long seed : {1L, 2L}) {
        TestStation me("127.0.0.1", seed);
        char zeros[64] = {};
        me.net.handle_message(zeros, 64, inet_addr("127.0.0.29"));
        me.net.handle_message("IP:", 3, inet_addr("127.0.0.29"));
        ASSERT_EQ(me.lines().size(), 4u);
        EXPECT_EQ(me.lines()[0], "Prijem dat zlyhal.");
        EXPECT_EQ(me.lines()[1], "");
        EXPECT_TRUE(me.transfers.lines().empty());
    }
}

}  // namespace
