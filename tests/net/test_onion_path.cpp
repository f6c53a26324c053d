// Onions in process: a route too long to deliver is not built, and relays
// are drawn only from stations that can be reached.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <stack>

#include "net/station_fixture.h"

namespace {

using Lines = std::vector<std::string>;

class OnionPath : public ::testing::Test, protected InTempDir {};

// Routes no onion is built for: a relay that is not listed, or a route so long
// that no station could read the packet, where building stops before it has
// gone far. The writer says why, top line first, and records nothing.
TEST_F(OnionPath, RoutesNotBuilt) {
    TestStation a("10.0.0.51", 21), h("10.0.0.52", 22), r("10.0.0.53", 23), stranger("10.0.0.54", 24);
    for (TestStation* s : {&h, &r}) a.knows(*s);
    a.net.create_file();
    using Route = std::stack<uint32_t>;  // first hop pushed first, recipient on top
    Route too_long(std::deque<uint32_t>(9999, h.net.own_address()));
    too_long.push(r.net.own_address());
    const std::pair<Route, Lines> rows[] = {
        {Route({stranger.net.own_address(), r.net.own_address()}),
         {"Stanica neexistuje.", "10.0.0.54", "10.0.0.53", ""}},
        {too_long, {"Trasa je prilis dlha.", ""}},
    };
    for (const auto& [route, said] : rows) {
        a.print.reset();
        int len = 4;
        uint32_t to = 0, first = 0;
        EXPECT_FALSE(std::unique_ptr<char[]>(a.net.create_onion(route, "ahoj", &len, &to, &first)));
        ASSERT_LT(a.lines().size(), 60u) << "building stops early";
        const Lines& got = a.lines();
        EXPECT_EQ(Lines(got.begin(), got.begin() + static_cast<long>(std::min(said.size(), got.size()))), said);
    }
    EXPECT_EQ(read_file("10.0.0.51.txt"), "");
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
