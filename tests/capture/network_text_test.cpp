#include "capture/network_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "capture/fixed_text.h"
#include "capture/player_record.h"
#include "platform/clock.h"

namespace korvane {
namespace {

TEST(FixedText, KeepsAtMostCapacityLessOneAndStaysTerminated) {
    FixedText<4> text;
    EXPECT_EQ(text.size(), 0u);
    EXPECT_STREQ(text.c_str(), "");
    text.Set("abc");
    EXPECT_EQ(text.view(), "abc");
    text.Set("abcdef");
    EXPECT_EQ(text.view(), "abc");
    EXPECT_EQ(std::strlen(text.c_str()), 3u);
    text.Set("x");  // a shorter value after a longer one leaves nothing of the old behind
    EXPECT_STREQ(text.c_str(), "x");
    EXPECT_EQ(text.size(), 1u);

    FixedWideText<3> wide{u"\u0100\u0101\u0102"};
    EXPECT_EQ(wide.view(), std::u16string_view(u"\u0100\u0101"));
    EXPECT_EQ(wide.c_str()[2], u'\0');
}

// The C1 controls 0x80 to 0x9F count as controls: in a UTF-8 terminal C2 9B begins a control
// sequence. 0xA0 and above are Latin-1 letters and stay.
TEST(SafeNetworkText, ReplacesControlBytesOnly) {
    const std::string in(
        "\x00\x01\t\x1F \x7E\x7F\x80\x9B\x9F\xA0\xFF"
        "ok",
        14);
    EXPECT_EQ(SafeNetworkText(in), std::string("???? ~????\xA0\xFF"
                                               "ok"));
    EXPECT_EQ(SafeNetworkText(std::string_view("\xC2\x9B"
                                               "2J")),
              "\xC2?2J");
    EXPECT_EQ(SafeNetworkText(std::string_view("\x1b[2J")), "?[2J");
    EXPECT_EQ(SafeNetworkText(std::string_view()), "");
}

TEST(SafeNetworkText, TreatsWideTextUnitByUnit) {
    // U+0100 and U+017F share their low byte with a control character; they are not ones.
    const std::u16string in(u"\u0000\u001F\u0020\u007F\u0080\u009F\u00A0\u0100\u017F\U0001F600",
                            11);
    EXPECT_EQ(SafeNetworkText(in), u"??\u0020???\u00A0\u0100\u017F\U0001F600");
}

class PlayerRecordText : public ::testing::Test {
  protected:
    ManualClock clock_{{500, 0}};
    PlayerRecord record_{0x1234, clock_};
};

TEST_F(PlayerRecordText, SetNamesCutsTo63UnitsAndReplacesControls) {
    std::u16string wide = u"\u0100a\u001Fb\u007F" + std::u16string(65, u'x');
    std::string narrow = "\xE9n\tm\x7F" + std::string(65, 'y');
    record_.SetNames(wide, narrow);

    std::u16string wantWide = u"\u0100a?b?" + std::u16string(58, u'x');
    std::string wantNarrow = "\xE9n?m?" + std::string(58, 'y');
    EXPECT_EQ(record_.nameWide.size(), 63u);
    EXPECT_EQ(record_.nameWide.view(), wantWide);
    EXPECT_EQ(record_.name.size(), 63u);
    EXPECT_EQ(record_.name.view(), wantNarrow);

    record_.SetNames(u"Ace", "Ace");
    EXPECT_EQ(record_.nameWide.view(), u"Ace");
    EXPECT_STREQ(record_.name.c_str(), "Ace");
}

TEST_F(PlayerRecordText, ForLogCarriesTheIdentity) {
    LogPlayer fresh = record_.ForLog();
    EXPECT_EQ(fresh.playerId, 0x1234u);
    EXPECT_EQ(fresh.nameWide, u"Unknown");
    EXPECT_EQ(fresh.infoText, "Unknown");
    EXPECT_FALSE(fresh.fragmentPending);

    record_.SetNames(u"R\u00e9mi", "Remi");
    record_.infoText.Set("pilot");
    record_.ipAddress = {0xC0, 0xA8, 0x00, 0x0A};
    record_.fragmentPending = true;
    record_.playerId = 77;
    LogPlayer player = record_.ForLog();
    EXPECT_EQ(player.playerId, 77u);
    EXPECT_EQ(player.nameWide, u"R\u00e9mi");
    EXPECT_EQ(player.infoText, "pilot");
    EXPECT_EQ(player.ipAddress[0], 0xC0);
    EXPECT_EQ(player.ipAddress[1], 0xA8);
    EXPECT_EQ(player.ipAddress[2], 0x00);
    EXPECT_EQ(player.ipAddress[3], 0x0A);
    EXPECT_TRUE(player.fragmentPending);
}

}  // namespace
}  // namespace korvane
