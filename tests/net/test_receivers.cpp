// What a station does with announcements and connection messages it receives.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "directory/messages.h"
#include "net/announce.h"
#include "net/station_fixture.h"

namespace {

std::string announcement(char* (*create)(Skeys, int*), TestStation& s) {
    int len = 0;
    std::unique_ptr<char[]> m(create(s.rsa.get_my_keys(), &len));
    return std::string(m.get(), static_cast<size_t>(len));
}
std::string hello_of(TestStation& s) { return announcement(Cmessages::create_hello_message, s); }

class Receivers : public ::testing::Test, protected InTempDir {};

TEST_F(Receivers, AnnouncementsListAnswerAndReplaceKeys) {
    TestStation me("10.0.0.1", 11), peer("10.0.0.21", 12), other("10.0.0.20", 14), restarted("10.0.0.21", 13);
    me.knows(other);
    Sink at_peer("10.0.0.21");
    const std::string hello = hello_of(peer), welcome = announcement(Cmessages::create_welcome_message, peer);
    me.net.handle_datagram(hello.data(), static_cast<int>(hello.size()), peer.net.own_address());
    const std::string reply = at_peer.one();
    const std::vector<std::string> both{"10.0.0.20", "10.0.0.21"};
    ASSERT_EQ(me.stations.lines(), both);
    EXPECT_EQ(reply, announcement(Cmessages::create_welcome_message, me));

    // The same HELLO again: no reply, nothing shown.
    me.net.handle_datagram(hello.data(), static_cast<int>(hello.size()), peer.net.own_address());
    EXPECT_TRUE(at_peer.take().empty());
    EXPECT_TRUE(me.lines().empty());

    // A new key from that address: the station was restarted. Its key is
    // replaced in place and it hears our WELCOME again.
    const std::string fresh = hello_of(restarted);
    me.net.handle_datagram(fresh.data(), static_cast<int>(fresh.size()), peer.net.own_address());
    EXPECT_EQ(at_peer.one(), reply);
    EXPECT_EQ(me.stations.lines(), both);
    EXPECT_EQ(me.net.stations().get_keys("10.0.0.21").key[1], restarted.rsa.get_my_keys().key[1]);

    // WELCOMEs: one cut short and one from our own address change nothing; a
    // whole one with yet another key replaces it too, unanswered.
    me.net.handle_message(welcome.data(), 135, peer.net.own_address());
    me.net.handle_message(welcome.data(), 136, me.net.own_address());
    EXPECT_EQ(me.net.stations().get_keys("10.0.0.21").key[1], restarted.rsa.get_my_keys().key[1]);
    EXPECT_EQ(me.net.stations().get_size(), 2);
    me.net.handle_message(welcome.data(), 136, peer.net.own_address());
    EXPECT_EQ(me.net.stations().get_keys("10.0.0.21").key[1], peer.rsa.get_my_keys().key[1]);
    EXPECT_EQ(me.stations.lines(), both);
    EXPECT_TRUE(at_peer.take().empty());
    EXPECT_TRUE(me.lines().empty()) << "a short WELCOME is no onion packet either";
}

TEST_F(Receivers, ShortOwnAndForeignDatagramsChangeNothingByeRemoves) {
    TestStation me("10.0.0.1", 11), peer("10.0.0.23", 12), listed("10.0.0.24", 13);
    const std::string hello = hello_of(peer);
    const uint32_t from = peer.net.own_address();
    for (auto [data, len] : {std::pair{hello.data(), 133}, {"HELLO", 5}, {"", 0}, {"HOLA", 4}, {"BYE", 3}})
        me.net.handle_datagram(data, len, from);
    me.net.handle_datagram(hello.data(), 134, me.net.own_address());  // our own, come back
    // Sources no station can have: a host without an address, loopback, multicast.
    for (const char* never : {"0.0.0.0", "127.0.0.1", "224.0.0.1", "255.255.255.255"}) {
        me.net.handle_datagram(hello.data(), 134, inet_addr(never));
        me.net.handle_message(announcement(Cmessages::create_welcome_message, peer).data(), 136, inet_addr(never));
    }
    EXPECT_EQ(me.net.stations().get_size(), 0);
    EXPECT_TRUE(me.stations.lines().empty());
    me.knows(peer);
    me.knows(listed);
    me.net.handle_datagram("BYE and more", 12, from);
    EXPECT_EQ(me.stations.lines(), std::vector<std::string>{"10.0.0.24"});
    EXPECT_TRUE(me.lines().empty());
}

// A station gone without BYE is forgotten once it has shown that it repeats
// its HELLO and then been silent for Cnet::SILENT_MS; one that announces only
// once is kept, whatever the silence.
TEST_F(Receivers, SilentRepeatersAreForgottenOnceAnnouncersKept) {
    enum Event { HELLO, NEW_KEY, WELCOME, CONNECTION, TICK };
    struct Step {
        Event what;
        int64_t at_ms;
        bool listed;  // afterwards
    };
    const int64_t S = Cnet::SILENT_MS;
    const struct {
        const char* name;
        std::vector<Step> steps;
    } rows[] = {
        {"announced once", {{HELLO, 0, true}, {TICK, 100 * S, true}}},
        {"repeated, then silent", {{HELLO, 0, true}, {HELLO, 30000, true}, {TICK, 30000 + S - 1, true},
                                   {TICK, 30000 + S, false}}},
        {"a WELCOME is heard", {{HELLO, 0, true}, {HELLO, 30000, true}, {WELCOME, 90000, true},
                                {TICK, 90000 + S - 1, true}, {TICK, 90000 + S, false}}},
        {"a connection is heard", {{HELLO, 0, true}, {HELLO, 30000, true}, {CONNECTION, 90000, true},
                                   {TICK, 90000 + S - 1, true}, {TICK, 90000 + S, false}}},
        {"forgotten, back as new", {{HELLO, 0, true}, {HELLO, 1000, true}, {TICK, 1000 + S, false},
                                    {HELLO, 200000, true}, {TICK, 100 * S, true}}},
        {"restarted once-announcer", {{HELLO, 0, true}, {NEW_KEY, 30000, true}, {TICK, 100 * S, true}}},
    };
    auto message = [](char* (*create)(Skeys, int*), long n) {
        Skeys k;
        k.key[0] = 3;
        k.key[1] = n;
        int len = 0;
        std::unique_ptr<char[]> m(create(k, &len));
        return std::string(m.get(), static_cast<size_t>(len));
    };
    const std::string hello = message(Cmessages::create_hello_message, 1001),
                      new_key = message(Cmessages::create_hello_message, 2002),
                      welcome = message(Cmessages::create_welcome_message, 1001);
    const char *gone = "10.1.0.2", *known = "10.1.0.3";
    const uint32_t from = inet_addr(gone);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TestStation me("10.1.0.1", 11);
        me.net.set_rsa(nullptr);  // answers no HELLO: no connections made
        int64_t now = 0;
        me.net.set_clock([&now] { return now; });
        me.net.stations().add(known, Skeys{});  // listed, never heard: kept
        for (const Step& step : row.steps) {
            SCOPED_TRACE(step.at_ms);
            now = step.at_ms;
            switch (step.what) {
                case HELLO: me.net.handle_datagram(hello.data(), Cmessages::HELLO_LEN, from); break;
                case NEW_KEY: me.net.handle_datagram(new_key.data(), Cmessages::HELLO_LEN, from); break;
                case WELCOME: me.net.handle_message(welcome.data(), Cmessages::WELCOME_LEN, from); break;
                case CONNECTION: me.net.heard_from(from); break;  // what accepting one does
                case TICK: me.net.forget_silent(); break;
            }
            const std::vector<std::string> pane = step.listed ? std::vector<std::string>{known, gone}
                                                              : std::vector<std::string>{known};
            EXPECT_EQ(me.stations.lines(), pane);
            EXPECT_EQ(me.net.stations().get_size(), step.listed ? 2 : 1);
        }
    }
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

int64_t g_now = 0;
int64_t fake_clock() { return g_now; }

// Each ACK times the oldest message still waiting on its sender; an ACK that
// no message waits on leaves no trace. A message unconfirmed ACK_WAIT_MS
// after its start is reported once and waits no more. The clock is past 2^31 ms.
TEST_F(Receivers, AckTimesTheOldestMessageWaitingOnItsSender) {
    TestStation me("10.0.0.1", 11);
    me.net.set_clock(fake_clock);
    me.net.create_file();
    const uint32_t r1 = inet_addr("10.0.0.28"), r2 = inet_addr("10.0.0.29");
    const int64_t t0 = (int64_t{1} << 31) - 10;
    const int64_t due = t0 + 600 + Cnet::ACK_WAIT_MS;
    for (auto [at, to] : {std::pair{t0, r1}, {t0 + 100, r2}, {t0 + 200, r2}, {t0 + 600, r1}}) {
        g_now = at;
        me.net.await_ack(to, me.net.start_time());
    }
    const struct {
        int64_t at;
        const char* data;  // null: the check for unconfirmed messages runs
        uint32_t from;
        const char* shown;  // null: nothing shown nor recorded
    } acks[] = {
        {t0 + 300, "ACK", inet_addr("10.0.0.30"), nullptr},  // no message waits on it
        {t0 + 300, "ACK!", r2, "DOBA PRENOSU: 200ms."},       // the older of two to r2
        {t0 + 357, "ACK", r1, "DOBA PRENOSU: 357ms."},
        {t0 + 400, "ACK", r2, "DOBA PRENOSU: 200ms."},
        {t0 + 500, "ACK", r2, nullptr},  // each message is acknowledged once
        {due - 1, nullptr, 0, nullptr},
        {due, nullptr, 0, "Sprava pre 10.0.0.28 nebola potvrdena."},
        {due + 1, nullptr, 0, nullptr},
        {due + 2, "ACK", r1, nullptr},  // too late: nothing waits on it
    };
    std::vector<std::string> shown;
    std::string recorded;
    for (const auto& a : acks) {
        g_now = a.at;
        if (a.data)
            me.net.handle_message(a.data, static_cast<int>(std::strlen(a.data)), a.from);
        else
            me.net.report_unconfirmed();
        if (a.shown) shown.insert(shown.begin(), a.shown), recorded += std::string(a.shown) + (a.data ? "\n\n" : "\n");
        EXPECT_EQ(me.lines(), shown) << a.at - t0;
    }
    EXPECT_EQ(read_file("10.0.0.1.txt"), recorded);
}

TEST_F(Receivers, JunkAndZeroBlocksAreReportedNeverFatal) {
    for (long seed : {1L, 2L}) {  // private exponents of both signs
        TestStation me("10.0.0.1", seed);
        char zeros[64] = {};
        me.net.handle_message(zeros, 64, inet_addr("10.0.0.29"));
        me.net.handle_message("IP:", 3, inet_addr("10.0.0.29"));
        EXPECT_EQ(me.lines(), (std::vector<std::string>{"Prijem dat zlyhal.", "", "Prijem dat zlyhal.", ""}));
        EXPECT_TRUE(me.transfers.lines().empty());
    }
}

}  // namespace
