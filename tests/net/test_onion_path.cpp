// Routes and onions: drawing, building, relaying and delivering, in process.
#include <gtest/gtest.h>

#include <chrono>
#include <stack>

#include "net/station_fixture.h"

namespace {

using Lines = std::vector<std::string>;

std::stack<uint32_t> route_of(std::initializer_list<const TestStation*> hops) {
    std::stack<uint32_t> r;  // first hop pushed first, recipient on top
    for (const TestStation* s : hops) r.push(s->net.own_address());
    return r;
}

// The packet `from` builds for `route`, or "" when it builds none.
std::string onion(TestStation& from, std::initializer_list<const TestStation*> route, const std::string& text) {
    int len = static_cast<int>(text.size());
    uint32_t to = 0, first = 0;
    std::unique_ptr<char[]> p(from.net.create_onion(route_of(route), text.c_str(), &len, &to, &first));
    if (!p) return "";
    EXPECT_EQ(to, route_of(route).top());
    EXPECT_EQ(first, (*route.begin())->net.own_address());
    EXPECT_EQ(p[len], 0);
    return std::string(p.get(), static_cast<size_t>(len));
}

std::string address_bytes(const TestStation& s) {
    uint32_t a = s.net.own_address();
    return std::string(reinterpret_cast<const char*>(&a), 4);
}
// Padded with zero bytes to whole 63-byte blocks and encrypted for `to`.
std::string sealed(TestStation& with, const std::string& layer, TestStation& to) {
    int len = static_cast<int>(layer.size());
    std::unique_ptr<char[]> padded(with.rsa.add_padding(layer.data(), &len));
    std::unique_ptr<char[]> c(with.rsa.crypt(padded.get(), &len, to.rsa.get_my_keys()));
    return std::string(c.get(), static_cast<size_t>(len));
}

class OnionPath : public ::testing::Test, protected InTempDir {};

TEST_F(OnionPath, PacketIsTheLayersSealedInTurnAndTheRouteIsRecorded) {
    TestStation a("10.0.0.41", 21), h1("10.0.0.42", 22), h2("10.0.0.43", 23), r("10.0.0.44", 24);
    for (TestStation* s : {&h1, &h2, &r}) a.knows(*s);
    a.net.create_file();
    std::string want = sealed(a, "MESS:" + address_bytes(a) + "ahoj", r);
    want = sealed(a, "IP:" + address_bytes(r) + want, h2);
    want = sealed(a, "IP:" + address_bytes(h2) + want, h1);
    EXPECT_EQ(onion(a, {&h1, &h2, &r}, "ahoj"), want);
    EXPECT_EQ(a.lines(), (Lines{"VYGENEROVANA TRASA:", "10.0.0.42", "10.0.0.43", "10.0.0.44", ""}));
    EXPECT_EQ(read_file("10.0.0.41.txt"),
              "JA -> 10.0.0.44 : ahoj\nVYGENEROVANA TRASA:\n10.0.0.44\n10.0.0.43\n10.0.0.42\n");
}

TEST_F(OnionPath, RelayKeepsAnInnerLayerThatEndsInZeroAndRecipientAcknowledges) {
    TestStation a("10.0.0.31", 21), h("10.0.0.32", 22), r("10.0.0.33", 23);
    a.knows(h);
    a.knows(r);
    // Layers are deterministic, so find a text whose layer for r ends in a
    // zero byte: the relay's unpadding eats it unless the relay restores it.
    std::string text, inner;
    for (int i = 0; i < 5000 && (inner.empty() || inner.back() != 0); ++i)
        inner = onion(a, {&r}, text = "zero " + std::to_string(i));
    ASSERT_EQ(inner.back(), 0);
    const std::string packet = onion(a, {&h, &r}, text);
    EXPECT_EQ(packet.size(), 128u);

    Sink at_r("10.0.0.33"), at_a("10.0.0.31");
    h.net.handle_message(packet.data(), static_cast<int>(packet.size()), a.net.own_address());
    const std::string forwarded = at_r.one();
    EXPECT_EQ(forwarded, inner);
    EXPECT_EQ(h.transfers.lines(), Lines{"PRENOS: 10.0.0.31 -> 10.0.0.32 -> 10.0.0.33"});
    EXPECT_TRUE(h.lines().empty());
    r.net.handle_message(forwarded.data(), static_cast<int>(forwarded.size()), h.net.own_address());
    EXPECT_EQ(at_a.one(), "ACK");
    EXPECT_EQ(r.lines(), (Lines{"10.0.0.31 -> JA : " + text, ""}));
}

// An empty text from x.y.z.0: unpadding eats the writer's zero octets, which
// are put back, so the text is shown and the writer acknowledged.
TEST_F(OnionPath, EmptyTextFromAnAddressEndingInZero) {
    TestStation zero("10.1.0.0", 24), r("10.0.0.36", 23);
    zero.knows(r);
    const std::string p = onion(zero, {&r}, "");
    Sink at_zero("10.1.0.0");
    r.net.handle_message(p.data(), static_cast<int>(p.size()), zero.net.own_address());
    EXPECT_EQ(at_zero.one(), "ACK");
    EXPECT_EQ(r.lines(), (Lines{"10.1.0.0 -> JA : ", ""}));
}

// A layer naming an address no station can have as the next hop or as its
// writer: the connection-failure line, and nothing dialled (127.0.0.1 and
// 0.0.0.0 would reach this very host).
TEST_F(OnionPath, NothingDialledWhereNoStationCanBe) {
    TestStation h("10.0.0.61", 22), local("127.0.0.1", 23), none("0.0.0.0", 24);
    Sink anywhere;
    for (TestStation* never : {&local, &none}) {
        SCOPED_TRACE(never->name());
        TestStation a("10.0.0.62", 21);
        a.knows(h);
        a.net.stations().add(never->name().c_str(), never->rsa.get_my_keys());
        const std::string relayed = onion(a, {&h, never}, "x");
        h.net.handle_message(relayed.data(), static_cast<int>(relayed.size()), a.net.own_address());
        EXPECT_EQ(h.transfers.lines()[0], "PRENOS: 10.0.0.62 -> 10.0.0.61 -> " + never->name());
        never->knows(h);
        const std::string delivered = onion(*never, {&h}, "y");
        h.net.handle_message(delivered.data(), static_cast<int>(delivered.size()), a.net.own_address());
        EXPECT_EQ(Lines(h.lines().begin(), h.lines().begin() + 4),
                  (Lines{"Chyba pri pripojeni na vzdalenu stanicu.", never->name() + " -> JA : y", "",
                         "Chyba pri pripojeni na vzdalenu stanicu."}));
        EXPECT_TRUE(anywhere.take().empty());
    }
}

TEST_F(OnionPath, UnknownStationsOrARouteTooLongBuildNothingAndRecordNothing) {
    TestStation a("10.0.0.51", 21), h("10.0.0.52", 22), r("10.0.0.53", 23);
    a.knows(r);
    a.net.create_file();
    EXPECT_EQ(onion(a, {&h, &r}, "ahoj"), "");
    EXPECT_EQ(a.lines(), (Lines{"Stanica neexistuje.", "10.0.0.52", "10.0.0.53", ""}));
    EXPECT_EQ(onion(a, {&h}, "ahoj"), "");
    EXPECT_EQ(a.lines()[0], "Stanica neexistuje.");
    EXPECT_EQ(a.lines()[1], "");

    // No station could receive this one: building stops early.
    a.knows(h);
    std::stack<uint32_t> route;
    a.net.generate_path(&route, 9999);
    route.push(r.net.own_address());
    int len = 4;
    uint32_t to = 0, first = 0;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(a.net.create_onion(route, "ahoj", &len, &to, &first));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    EXPECT_EQ(a.lines()[0], "Trasa je prilis dlha.");
    EXPECT_EQ(a.lines()[1], "");
    EXPECT_LT(a.lines().size(), 60u);
    EXPECT_EQ(read_file("10.0.0.51.txt"), "");
}

TEST_F(OnionPath, DrawingRelays) {
    TestStation a("10.0.0.71", 21), s1("10.0.0.72", 22), s2("10.0.0.73", 23);
    std::stack<uint32_t> route;
    a.net.generate_path(&route, 3);  // nobody known
    EXPECT_TRUE(route.empty());
    EXPECT_EQ(a.lines(), (Lines{"Nie su dostupne ziadne stanice", ""}));
    a.net.generate_path(&route, 0);
    EXPECT_EQ(a.lines().size(), 2u) << "length 0 says nothing";

    a.knows(s1);
    a.net.generate_path(&route, 5);
    EXPECT_EQ(route.size(), 1u) << "one station is drawn once";
    EXPECT_EQ(route.top(), s1.net.own_address());
    route.pop();

    a.knows(s2);
    a.net.generate_path(&route, 40);
    ASSERT_EQ(route.size(), 40u);
    for (uint32_t previous = 0; !route.empty(); route.pop()) {
        EXPECT_NE(route.top(), previous) << "the same station twice in a row";
        previous = route.top();
    }
    // One that could not be reached is left out until heard from again.
    a.net.stations().unreachable(s1.net.own_address());
    a.net.generate_path(&route, 40);
    ASSERT_EQ(route.size(), 1u);
    EXPECT_EQ(route.top(), s2.net.own_address());
    route.pop();
    a.net.heard_from(s1.net.own_address());
    a.net.generate_path(&route, 40);
    EXPECT_EQ(route.size(), 40u);
    route = {};
    a.net.generate_path(&route, -3);
    EXPECT_TRUE(route.empty());
}

}  // namespace
