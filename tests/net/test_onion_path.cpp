// Onions in process: a route too long to deliver is not built, and no address
// a station cannot have is ever dialled.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <set>
#include <stack>

#include "net/station_fixture.h"

namespace {

using Lines = std::vector<std::string>;

// The packet `from` builds for `route` (first hop first, recipient last), or
// "" when it builds none.
std::string onion(TestStation& from, const std::vector<TestStation*>& route, const char* text) {
    std::stack<uint32_t> r;  // first hop pushed first, recipient on top
    for (const TestStation* s : route) r.push(s->net.own_address());
    int len = static_cast<int>(std::strlen(text));
    uint32_t to = 0, first = 0;
    std::unique_ptr<char[]> p(from.net.create_onion(r, text, &len, &to, &first));
    return p ? std::string(p.get(), static_cast<size_t>(len)) : "";
}

class OnionPath : public ::testing::Test, protected InTempDir {};

// Routes no onion is built for: a relay that is not listed, or a route so long
// that no station could read the packet, where building stops before it has
// gone far. The writer says why, top line first, and records nothing.
TEST_F(OnionPath, RoutesNotBuilt) {
    TestStation a("10.0.0.51", 21), h("10.0.0.52", 22), r("10.0.0.53", 23), stranger("10.0.0.54", 24);
    for (TestStation* s : {&h, &r}) a.knows(*s);
    a.net.create_file();
    std::vector<TestStation*> too_long(9999, &h);
    too_long.push_back(&r);
    const std::pair<std::vector<TestStation*>, Lines> rows[] = {
        {{&stranger, &r}, {"Stanica neexistuje.", "10.0.0.54", "10.0.0.53", ""}},
        {too_long, {"Trasa je prilis dlha.", ""}},
    };
    for (const auto& [route, said] : rows) {
        a.print.reset();
        EXPECT_EQ(onion(a, route, "ahoj"), "");
        ASSERT_LT(a.lines().size(), 60u) << "building stops early";
        const Lines& got = a.lines();
        EXPECT_EQ(Lines(got.begin(), got.begin() + static_cast<long>(std::min(said.size(), got.size()))), said);
    }
    EXPECT_EQ(read_file("10.0.0.51.txt"), "");
}

// A layer naming an address no station can have as the next hop or as its
// writer: the connection-failure line, and nothing dialled (127.0.0.1 and
// 0.0.0.0 would reach this very host).
TEST_F(OnionPath, NothingDialledWhereNoStationCanBe) {
    TestStation h("10.0.0.61", 22), a("10.0.0.62", 21);
    a.knows(h);
    Sink anywhere;
    const std::string failed = "Chyba pri pripojeni na vzdalenu stanicu.";
    for (const char* never : {"127.0.0.1", "0.0.0.0"}) {
        SCOPED_TRACE(never);
        TestStation nowhere(never, 23);
        h.print.reset();
        a.knows(nowhere);
        nowhere.knows(h);
        const std::string relayed = onion(a, {&h, &nowhere}, "x"), delivered = onion(nowhere, {&h}, "y");
        h.net.handle_message(relayed.data(), static_cast<int>(relayed.size()), a.net.own_address());
        h.net.handle_message(delivered.data(), static_cast<int>(delivered.size()), a.net.own_address());
        EXPECT_TRUE(anywhere.take().empty());
        EXPECT_EQ(h.transfers.lines(), Lines{"PRENOS: 10.0.0.62 -> 10.0.0.61 -> " + std::string(never)});
        EXPECT_EQ(h.lines(), (Lines{failed, std::string(never) + " -> JA : y", "", failed}));
    }
}

// Relays are drawn from the listed stations not known unreachable, never the
// same twice in a row; a station that could not be reached is drawn again
// once heard from. With none to draw, the writer says so. Each row first
// changes what the writer knows, then draws a route of its length.
TEST_F(OnionPath, DrawingRelays) {
    TestStation a("10.0.0.71", 21), s1("10.0.0.72", 22), s2("10.0.0.73", 23);
    const uint32_t one = s1.net.own_address(), two = s2.net.own_address();
    const Lines none{"Nie su dostupne ziadne stanice", ""};
    const struct {
        std::function<void()> change;
        int length;
        size_t drawn;
        std::set<uint32_t> from;
        Lines said;
    } rows[] = {
        {[] {}, 3, 0, {}, none},
        {[] {}, 0, 0, {}, {}},
        {[&] { a.knows(s1); }, 5, 1, {one}, {}},
        {[&] { a.knows(s2); }, 40, 40, {one, two}, {}},
        {[&] { a.net.stations().unreachable(one); }, 40, 1, {two}, {}},
        {[&] { a.net.stations().unreachable(two); }, 2, 0, {}, none},
        {[&] { a.net.heard_from(one); }, 3, 1, {one}, {}},
        {[&] { a.net.heard_from(two); }, 40, 40, {one, two}, {}},
        {[] {}, -3, 0, {}, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(&row - rows);
        row.change();
        a.print.reset();
        std::stack<uint32_t> route;
        a.net.generate_path(&route, row.length);
        EXPECT_EQ(route.size(), row.drawn);
        for (uint32_t previous = 0; !route.empty(); route.pop()) {
            EXPECT_TRUE(row.from.count(route.top()) && route.top() != previous);
            previous = route.top();
        }
        EXPECT_EQ(a.lines(), row.said);
    }
}

}  // namespace
