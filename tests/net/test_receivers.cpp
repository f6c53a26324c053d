// What a station does with announcements and connection messages it receives.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <sstream>

#include "directory/messages.h"
#include "net/announce.h"
#include "net/station_fixture.h"

namespace {

using Lines = std::vector<std::string>;

// The HELLO, or the WELCOME, that `s` sends.
std::string announcement(TestStation& s, bool hello = true) {
    int len = 0;
    auto create = hello ? Cmessages::create_hello_message : Cmessages::create_welcome_message;
    std::unique_ptr<char[]> m(create(s.rsa.get_my_keys(), &len));
    return std::string(m.get(), static_cast<size_t>(len));
}

// A station gone without BYE is forgotten once it has shown that it repeats
// its HELLO and then been silent for Cnet::SILENT_MS (100 s); one that
// announces only once is kept, whatever the silence. Each step is an event at
// a time in ms: H its HELLO, K a HELLO with a new key (each answered, the
// WELCOME through), W its WELCOME, T the check for silent stations; then +
// when it is listed afterwards, - when not.
TEST(Receivers, SilentRepeatersAreForgottenOnceAnnouncersKept) {
    const std::pair<const char*, const char*> rows[] = {
        {"repeated, then silent", "H0+ H30000+ T129999+ T130000-"},
        {"a WELCOME is heard", "H0+ H30000+ W90000+ T189999+ T190000-"},
        {"forgotten, back as new", "H0+ H1000+ T101000- H200000+ T10000000+"},
        {"restarted once-announcer", "H0+ K30000+ T10000000+"},
    };
    TestStation gone("10.1.0.2", 12), restarted("10.1.0.2", 13);
    const std::string hello = announcement(gone), new_key = announcement(restarted),
                      welcome = announcement(gone, false);
    const uint32_t from = gone.net.own_address();
    Sink answers("10.1.0.2");
    for (const auto& [name, steps] : rows) {
        SCOPED_TRACE(name);
        TestStation me("10.1.0.1", 11);
        int64_t now = 0;
        me.net.set_clock([&now] { return now; });
        me.net.stations().add("10.1.0.3", Skeys{});  // listed, never heard: kept
        std::istringstream in(steps);
        for (std::string step; in >> step;) {
            SCOPED_TRACE(step);
            now = std::stoll(step.substr(1));
            if (step[0] == 'H' || step[0] == 'K')
                me.net.handle_datagram((step[0] == 'H' ? hello : new_key).data(), Cmessages::HELLO_LEN, from);
            if (step[0] == 'W') me.net.handle_message(welcome.data(), Cmessages::WELCOME_LEN, from);
            if (step[0] == 'T') me.net.forget_silent();
            answers.take();  // the WELCOME's connection ends
            EXPECT_EQ(me.stations.lines(), (step.back() == '+' ? Lines{"10.1.0.3", "10.1.0.2"} : Lines{"10.1.0.3"}));
        }
    }
}

// HELLOs, each address's twice with two keys, from addresses where nothing
// answers, for longer than a WELCOME's time: one WELCOME per address, one
// more for each new address up to the cap and never more; fewer only once the
// first one's time has run out, and then others take their place.
TEST(Receivers, UnansweredHellosHoldAtMostTheCapOfWelcomes) {
    Sink deaf(nullptr, true);
    TestStation me("10.0.0.1", 11), other("10.0.0.2", 12);
    const std::string hellos[] = {announcement(me), announcement(other)};
    const int64_t start = station_clock_ms();
    for (int i = 0; station_clock_ms() - start < Cnet::WAIT_MS + 1000; ++i) {
        me.net.handle_datagram(hellos[i % 2].data(), Cmessages::HELLO_LEN, htonl(0x0A030001u + i / 2));
        plat::toolkit()->settle(10);
        const int most = std::min(i / 2 + 1, Cnet::WELCOMES_AT_ONCE), open = me.net.connections();
        ASSERT_TRUE(open == most || (open < most && station_clock_ms() - start >= Cnet::WAIT_MS)) << i << ", " << open;
    }
    EXPECT_GT(me.net.connections(), 0);
}

class Acks : public ::testing::Test, protected InTempDir {};

// Each ACK times the oldest message still waiting on its sender; an ACK that
// no message waits on leaves no trace. A message unconfirmed ACK_WAIT_MS
// after its start is reported once, in the pane and the transcript, and waits
// no more. The clock is past 2^31 ms.

TEST_F(Acks, TimeTheOldestMessageWaitingOnItsSenderOrAreReportedMissing) {
    TestStation me("10.0.0.1", 11);
    me.net.create_file();
    int64_t now = 0;
    me.net.set_clock([&now] { return now; });
    const uint32_t r1 = inet_addr("10.0.0.28"), r2 = inet_addr("10.0.0.29");
    const int64_t t0 = (int64_t{1} << 31) - 10, due = t0 + 600 + Cnet::ACK_WAIT_MS;
    for (auto [at, to] : {std::pair{t0, r1}, {t0 + 100, r2}, {t0 + 200, r2}, {t0 + 600, r1}}) me.net.await_ack(to, at);
    const struct {
        int64_t at;
        const char* data;  // null: the check for unconfirmed messages runs
        uint32_t from;
        const char* shown;  // null: nothing shown
    } acks[] = {
        {t0 + 300, "ACK", inet_addr("10.0.0.30"), nullptr},  // no message waits on it
        {t0 + 300, "ACK!", r2, "DOBA PRENOSU: 200ms."},       // the older of two to r2
        {t0 + 357, "ACK", r1, "DOBA PRENOSU: 357ms."},
        {t0 + 400, "ACK", r2, "DOBA PRENOSU: 200ms."},
        {t0 + 500, "ACK", r2, nullptr},  // each message is acknowledged once
        {due - 1, nullptr, 0, nullptr},
        {due, nullptr, 0, "Sprava pre 10.0.0.28 nebola potvrdena."},
        {due + 2, "ACK", r1, nullptr},  // too late: nothing waits on it
    };
    Lines shown;
    for (const auto& a : acks) {
        now = a.at;
        if (a.data)
            me.net.handle_message(a.data, static_cast<int>(std::strlen(a.data)), a.from);
        else
            me.net.report_unconfirmed();
        if (a.shown) shown.insert(shown.begin(), a.shown);
        EXPECT_EQ(me.lines(), shown) << a.at - t0;
    }
    EXPECT_EQ(read_file("10.0.0.1.txt"), "DOBA PRENOSU: 200ms.\n\nDOBA PRENOSU: 357ms.\n\nDOBA PRENOSU: 200ms.\n\n"
                                         "Sprava pre 10.0.0.28 nebola potvrdena.\n");
}

// On a LAN the onion is mostly handed over inside the sending call: an ACK
// read before the loop turns again must still find the message it answers.
TEST_F(Acks, CountRightAfterTheSendingCall) {
    TestStation me("10.0.0.1", 11), r("10.0.0.2", 12);
    me.knows(r);
    Sink sink("10.0.0.2");
    me.net.send_message("ahoj", r.net.own_address(), 0, me.net.start_time());
    if (me.net.connections() != 0) GTEST_SKIP() << "the handshake was not over when connect() returned";
    me.net.handle_message("ACK", 3, r.net.own_address());
    EXPECT_EQ(me.lines().front().rfind("DOBA PRENOSU: ", 0), 0u) << me.lines().front();
    EXPECT_EQ(sink.take().size(), 1u);
}

// HELLOs about 1 s and then 3 s after the start, then every 30 s give or take
// a twelfth; two stations started together drift apart.
TEST(Announce, SoonTwiceThenAboutEveryIntervalNeverAlike) {
    Cannounce a(1), b(2);
    EXPECT_NEAR(a.next_ms(), 1000, 1000 / 12);
    EXPECT_NEAR(a.next_ms(), 3000, 3000 / 12);
    std::vector<int> ga, gb;
    for (int i = 0; i < 1000; ++i) ga.push_back(a.next_ms()), gb.push_back(b.next_ms());
    for (int gap : ga) EXPECT_NEAR(gap, 30000, 30000 / 12);
    EXPECT_GT(std::set<int>(ga.begin(), ga.end()).size(), 500u);
    EXPECT_NE(ga, gb) << "two stations started together must drift apart";
}

}  // namespace
