// Text crossing between the screen (UTF-8) and the wire (Windows-1250).
#include <gtest/gtest.h>

#include "platform/winapi.h"

TEST(Text, SlovakLettersAreOneByteEachOnTheWireTheRestQuestionMarks) {
    const struct { std::string screen, wire, back; } rows[] = {
        {"ÁáÄäČčĎďÉéÍíĹĺĽľŇňÓóÔôŔŕŠšŤťÚúÝýŽž",
         "\xC1\xE1\xC4\xE4\xC8\xE8\xCF\xEF\xC9\xE9\xCD\xED\xC5\xE5\xBC\xBE\xD2"
         "\xF2\xD3\xF3\xD4\xF4\xC0\xE0\x8A\x9A\x8D\x9D\xDA\xFA\xDD\xFD\x8E\x9E",
         "ÁáÄäČčĎďÉéÍíĹĺĽľŇňÓóÔôŔŕŠšŤťÚúÝýŽž"},
        {"a→b€ł日", "a?b\x80\xB3?", "a?b€ł?"},
        {"x\xFFy\xE2\x82", "x?y?", "x?y?"},  // broken UTF-8
    };
    for (const auto& row : rows) {
        EXPECT_EQ(plat::utf8_to_cp1250(row.screen), row.wire);
        EXPECT_EQ(plat::cp1250_to_utf8(row.wire), row.back);
    }
    EXPECT_EQ(plat::cp1250_to_utf8("a\x81z"), "a?z");  // a byte Windows-1250 leaves unassigned
}
