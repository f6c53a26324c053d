// Routes and onions: drawing, building, relaying and delivering, in process.
#include <gtest/gtest.h>

#include <set>

#include "net/station_fixture.h"
#include "onion/layer.h"

namespace {

std::stack<uint32_t> route_of(std::initializer_list<const TestStation*> hops) {
    std::stack<uint32_t> r;  // first hop pushed first, recipient on top
    for (const TestStation* s : hops) r.push(s->net.own_address());
    return r;
}

class OnionPath : public ::testing::Test, protected InTempDir {};

TEST_F(OnionPath, RelayKeepsAnInnerLayerThatEndsInZeroAndRecipientAcknowledges) {
    TestStation a("127.0.0.31", 21), h("127.0.0.32", 22), r("127.0.0.33", 23);
    a.knows(h);
    a.knows(r);

    // Layers are deterministic, so find a text whose layer for r ends in a
    // zero byte: the relay's unpadding eats it unless the relay restores it.
    std::string text, inner;
    for (int i = 0; i < 5000 && inner.empty(); ++i) {
        std::string t = "zero " + std::to_string(i);
        int len = static_cast<int>(t.size());
        uint32_t to = 0, first = 0;
        std::unique_ptr<char[]> l(a.net.create_onion(route_of({&r}), t.c_str(), &len, &to, &first));
        ASSERT_TRUE(l);
        if (l[len - 1] == 0) {
            text = t;
            inner.assign(l.get(), static_cast<size_t>(len));
        }
    }
    ASSERT_FALSE(inner.empty());

    int len = static_cast<int>(text.size());
    uint32_t to = 0, first = 0;
    std::unique_ptr<char[]> packet(a.net.create_onion(route_of({&h, &r}), text.c_str(), &len, &to, &first));
    ASSERT_TRUE(packet);
    EXPECT_EQ(to, r.net.own_address());
    EXPECT_EQ(first, h.net.own_address());
    EXPECT_EQ(len, 128);

    Catcher at_r("127.0.0.33");
    h.net.handle_message(packet.get(), len, a.net.own_address());
    std::string forwarded = at_r.bytes();
    EXPECT_EQ(forwarded, inner);
    EXPECT_EQ(h.transfers.lines(),
              std::vector<std::string>{"PRENOS: 127.0.0.31 -> 127.0.0.32 -> 127.0.0.33"});
    EXPECT_TRUE(h.lines().empty());

    Catcher at_a("127.0.0.31");
    r.net.handle_message(forwarded.data(), static_cast<int>(forwarded.size()), h.net.own_address());
    EXPECT_EQ(at_a.bytes(), "ACK");
    ASSERT_EQ(r.lines().size(), 2u);
    EXPECT_EQ(r.lines()[0], "127.0.0.31 -> JA : " + text);
    EXPECT_EQ(r.lines()[1], "");
}

// An empty text from x.y.z.0: unpadding eats the writer's zero octets, which
// are put back, so the text is shown and the writer acknowledged.
TEST_F(OnionPath, EmptyTextFromAnAddressEndingInZero) {
    TestStation zero("127.1.0.0", 24), r("127.0.0.36", 23);
    zero.knows(r);
    int len = 0;
    uint32_t to = 0, first = 0;
    std::unique_ptr<char[]> p(zero.net.create_onion(route_of({&r}), "", &len, &to, &first));
    ASSERT_TRUE(p);
    Catcher at_zero("127.1.0.0");
    r.net.handle_message(p.get(), len, zero.net.own_address());
    EXPECT_EQ(at_zero.bytes(), "ACK");
    EXPECT_EQ(r.lines(), (std::vector<std::string>{"127.1.0.0 -> JA : ", ""}));
}

TEST_F(OnionPath, RouteIsShownAndRecordedRecipientFirst) {
    TestStation a("127.0.0.41", 21), h1("127.0.0.42", 22), h2("127.0.0.43", 23), r("127.0.0.44", 24);
    for (TestStation* s : {&h1, &h2, &r}) a.knows(*s);
    a.net.create_file();
    int len = 4;
    uint32_t to = 0, first = 0;
    std::unique_ptr<char[]> p(a.net.create_onion(route_of({&h1, &h2, &r}), "ahoj", &len, &to, &first));
    ASSERT_TRUE(p);
    EXPECT_EQ(len, 64 * 3);
    // The packet is the layers framed, padded and encrypted one by one.
    int want_len = 4;
    std::unique_ptr<char[]> want(Clayer::add_mess_prefix("ahoj", &want_len, a.net.own_address()));
    const TestStation* inner = &r;
    for (TestStation* s : {&r, &h2, &h1}) {
        if (s != &r) want.reset(Clayer::add_ip_prefix(want.get(), &want_len, inner->net.own_address()));
        std::unique_ptr<char[]> padded(a.rsa.add_padding(want.get(), &want_len));
        want.reset(a.rsa.crypt(padded.get(), &want_len, s->rsa.get_my_keys()));
        inner = s;
    }
    EXPECT_EQ(std::string(p.get(), static_cast<size_t>(len)), std::string(want.get(), static_cast<size_t>(want_len)));
    EXPECT_EQ(p[len], 0);
    EXPECT_EQ(a.lines(), (std::vector<std::string>{"VYGENEROVANA TRASA:", "127.0.0.42", "127.0.0.43",
                                                   "127.0.0.44", ""}));
    EXPECT_EQ(read_file("127.0.0.41.txt"),
              "JA -> 127.0.0.44 : ahoj\nVYGENEROVANA TRASA:\n127.0.0.44\n127.0.0.43\n127.0.0.42\n");
}

TEST_F(OnionPath, UnknownStationsBuildNothingAndRecordNothing) {
    TestStation a("127.0.0.51", 21), h("127.0.0.52", 22), r("127.0.0.53", 23);
    a.knows(r);
    a.net.create_file();
    int len = 4;
    uint32_t to = 0, first = 0;
    EXPECT_FALSE(a.net.create_onion(route_of({&h, &r}), "ahoj", &len, &to, &first));
    EXPECT_EQ(a.lines(), (std::vector<std::string>{"Stanica neexistuje.", "127.0.0.52", "127.0.0.53", ""}));
    EXPECT_FALSE(a.net.create_onion(route_of({&h}), "ahoj", &len, &to, &first));
    EXPECT_EQ(a.lines()[0], "Stanica neexistuje.");
    EXPECT_EQ(a.lines()[1], "");
    EXPECT_EQ(read_file("127.0.0.51.txt"), "");
}

TEST_F(OnionPath, ARouteNoStationCouldReceiveStopsEarly) {
    TestStation a("127.0.0.61", 21), h("127.0.0.62", 22), r("127.0.0.63", 23);
    a.knows(h);
    a.knows(r);
    a.net.create_file();
    std::stack<uint32_t> route;
    a.net.generate_path(&route, 9999);
    ASSERT_EQ(route.size(), 9999u);
    route.push(r.net.own_address());
    int len = 4;
    uint32_t to = 0, first = 0;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(a.net.create_onion(route, "ahoj", &len, &to, &first));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    EXPECT_EQ(a.lines()[0], "Trasa je prilis dlha.");
    EXPECT_EQ(a.lines()[1], "");
    EXPECT_LT(a.lines().size(), 50u);
    EXPECT_EQ(read_file("127.0.0.61.txt"), "");
}

TEST_F(OnionPath, DrawingRelays) {
    TestStation a("127.0.0.71", 21), s1("127.0.0.72", 22), s2("127.0.0.73", 23);
    std::stack<uint32_t> route;
    a.net.generate_path(&route, 3);  // nobody known
    EXPECT_TRUE(route.empty());
    EXPECT_EQ(a.lines(), (std::vector<std::string>{"Nie su dostupne ziadne stanice", ""}));
    a.net.generate_path(&route, 0);
    EXPECT_EQ(a.lines().size(), 2u) << "length 0 says nothing";

    a.knows(s1);
    a.net.generate_path(&route, 5);
    ASSERT_EQ(route.size(), 1u) << "one station is drawn once";
    EXPECT_EQ(route.top(), s1.net.own_address());
    route.pop();

    a.knows(s2);
    a.net.generate_path(&route, 40);
    ASSERT_EQ(route.size(), 40u);
    uint32_t previous = 0;
    while (!route.empty()) {
        EXPECT_NE(route.top(), previous) << "the same station twice in a row";
        previous = route.top();
        route.pop();
    }
    a.net.generate_path(&route, -3);
    EXPECT_TRUE(route.empty());
}

}  // namespace
