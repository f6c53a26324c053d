// Text crossing between the screen (UTF-8) and the wire (Windows-1250).
#include <gtest/gtest.h>

#include "platform/winapi.h"

namespace {

TEST(Text, SlovakLettersMapToSingleBytesBothWaysTheRestToQuestionMarks) {
    const std::string slovak = "ÁáÄäČčĎďÉéÍíĹĺĽľŇňÓóÔôŔŕŠšŤťÚúÝýŽž";
    std::string bytes = plat::utf8_to_cp1250(slovak);
    ASSERT_EQ(bytes.size(), 34u);
    EXPECT_EQ(static_cast<unsigned char>(bytes[4]), 0xC8);  // Č
    EXPECT_EQ(static_cast<unsigned char>(bytes[33]), 0x9E);  // ž
    EXPECT_EQ(plat::cp1250_to_utf8(bytes), slovak);
    EXPECT_EQ(plat::utf8_to_cp1250("a→b€ł日"), "a?b\x80\xB3?");
    EXPECT_EQ(plat::utf8_to_cp1250("x\xFFy\xE2\x82"), "x?y?");  // broken UTF-8
    EXPECT_EQ(plat::cp1250_to_utf8("a\x81z"), "a?z");            // unassigned byte
}

TEST(Text, WindowTextIsCutByCharactersNotBytes) {
    plat::Window edit;
    std::string text;
    for (int i = 0; i < 150; ++i) text += "č";
    plat::SetWindowText(&edit, text.c_str());
    char buf[100];
    EXPECT_EQ(plat::GetWindowText(&edit, buf, sizeof buf), 99);
    EXPECT_EQ(plat::cp1250_to_utf8(buf), text.substr(0, 99 * 2));
    char route[5];
    plat::SetWindowText(&edit, "12345");
    plat::GetWindowText(&edit, route, sizeof route);
    EXPECT_STREQ(route, "1234");
}

}  // namespace
