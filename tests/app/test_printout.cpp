// The panes as the station writes them.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "app/printout.h"

namespace {

struct Panes : ::testing::Test {
    plat::Pane messages, stations, transfers;
    plat::HWND m = &messages, s = &stations, t = &transfers;
    Cprintout print;
    void SetUp() override { print.set(&m, &s, &t); }
};

TEST_F(Panes, NewestLineOnTopAndMessageLines) {
    print.printout_mess("");
    print.printout_mess("ahoj", "10.0.0.7", "OUT");
    print.printout_mess("ahoj", "10.0.0.7", "IN");
    std::string long_text(3000, 'x');  // received texts may exceed any window limit
    print.printout_mess(long_text.c_str(), "10.0.0.8", "IN");
    EXPECT_EQ(messages.lines(), (std::vector<std::string>{"10.0.0.8 -> JA : " + long_text,
                                                          "10.0.0.7 -> JA : ahoj",
                                                          "JA -> 10.0.0.7 : ahoj", ""}));
    print.printout_transmission("first");
    print.printout_transmission("second");
    EXPECT_EQ(transfers.lines(), (std::vector<std::string>{"second", "first"}));
}

TEST_F(Panes, Windows1250TextIsShownAsUnicode) {
    print.printout_mess("\x8Elt\x9D", "10.0.0.7", "IN");  // Žltť
    EXPECT_EQ(messages.lines()[0], "10.0.0.7 -> JA : Žltť");
}

TEST_F(Panes, StationsPaneShowsTheListOldestOnTopAndSurvivesReset) {
    Clist list;
    print.refresh_ip_window(&list);
    EXPECT_TRUE(stations.lines().empty());
    for (const char* a : {"10.0.0.1", "10.0.0.2", "10.0.0.3"}) list.add(a, Skeys{});
    print.refresh_ip_window(&list);
    EXPECT_EQ(stations.lines(), (std::vector<std::string>{"10.0.0.1", "10.0.0.2", "10.0.0.3"}));
    print.printout_mess("x");
    print.printout_transmission("y");
    print.reset();
    EXPECT_TRUE(messages.lines().empty());
    EXPECT_TRUE(transfers.lines().empty());
    EXPECT_EQ(stations.lines().size(), 3u);
}

}  // namespace
