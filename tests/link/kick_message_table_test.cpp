#include "link/kick_message_table.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/scripted_console.h"
#include "tests/support/test_files.h"

namespace korvane {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class KickMessageTableTest : public ::testing::Test {
  protected:
    void SetUp() override { dir_ = korvane::testing::FreshDirectory("kick-messages"); }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // Loads a file holding exactly `content`.
    void Load(const std::string& content) {
        std::ofstream(File(), std::ios::binary) << content;
        table_.LoadKickMessages(File(), log_);
    }
    std::filesystem::path File() const { return dir_ / KickMessageTable::kFileName; }
    std::string PickAtMillis(int millis) {
        clock_.Set({1076424589, millis * 1000 + 999});
        return table_.PickKickMessage();
    }

    std::filesystem::path dir_;
    ManualClock clock_{{1076424589, 0}};
    ScriptedConsole console_;
    EventLog log_{clock_, console_};
    KickMessageTable table_{clock_};
};

TEST_F(KickMessageTableTest, WithoutAFileTheBuiltInMessageServesSilently) {
    table_.LoadKickMessages(File(), log_);
    EXPECT_THAT(table_.entries(), ElementsAre("%s kicked."));
    EXPECT_EQ(PickAtMillis(999), "%s kicked.");
    EXPECT_THAT(console_.output(), IsEmpty());
}

TEST_F(KickMessageTableTest, AtLinesAreTakenLastFirstAndPickedByTheMilliseconds) {
    Load("@Bye %s\nthis line is a comment\n@%s, read the rules\n");
    EXPECT_EQ(console_.output(), "Tue Feb 10 14:49:49: 2 custom kick messages loaded.\n");
    EXPECT_THAT(table_.entries(), ElementsAre("%s, read the rules", "Bye %s"));
    EXPECT_EQ(PickAtMillis(4), "%s, read the rules");
    EXPECT_EQ(PickAtMillis(7), "Bye %s");
    EXPECT_EQ(PickAtMillis(0), "%s, read the rules");
    EXPECT_EQ(PickAtMillis(999), "Bye %s");
}

TEST_F(KickMessageTableTest, WindowsAndUnixLineEndsGiveTheSameMessages) {
    Load("@one\r\n\r\n@two %s\r\n@\r\n");
    const std::vector<std::string> windows = table_.entries();
    Load("@one\n\n@two %s\n@\n");
    EXPECT_EQ(table_.entries(), windows);
    EXPECT_THAT(windows, ElementsAre("", "two %s", "one"));  // "@" alone: an empty message
}

TEST_F(KickMessageTableTest, OnlyAnAtAsTheFirstCharacterMakesAMessage) {
    Load(" @indented\nno at sign\nmail@example\n\n@last line without a line end");
    EXPECT_THAT(table_.entries(), ElementsAre("last line without a line end"));
}

TEST_F(KickMessageTableTest, LongLinesAreReadInPiecesOf255Characters) {
    const std::string longMessage(299, 'm');
    // The rest of a long line is a piece of its own, a message only when it starts with "@".
    const std::string startsAnother = "@" + std::string(254, 'a') + "@tail\n";
    Load("@" + longMessage + "\n" + startsAnother);
    ASSERT_EQ(table_.entries().size(), 3u);
    EXPECT_EQ(table_.entries()[0], "tail");
    EXPECT_EQ(table_.entries()[1], std::string(254, 'a'));
    EXPECT_EQ(table_.entries()[2], std::string(254, 'm'));
}

TEST_F(KickMessageTableTest, ZeroByteEndsAMessage) {
    Load(std::string("@ab\0cd\n", 7));
    EXPECT_THAT(table_.entries(), ElementsAre("ab"));
}

TEST_F(KickMessageTableTest, FileWithoutMessagesLeavesTheBuiltInForThePick) {
    Load("# no messages here\n\n");
    EXPECT_EQ(console_.output(), "Tue Feb 10 14:49:49: 0 custom kick messages loaded.\n");
    EXPECT_THAT(table_.entries(), IsEmpty());
    for (int millis : {0, 1, 7, 999}) {
        EXPECT_EQ(PickAtMillis(millis), "%s kicked.");
    }
}

TEST_F(KickMessageTableTest, FileThatCannotBeReadKeepsTheBuiltInAndSaysWhy) {
    std::filesystem::create_directory(File());  // opens, but cannot be read
    table_.LoadKickMessages(File(), log_);
    EXPECT_THAT(table_.entries(), ElementsAre("%s kicked."));
    EXPECT_EQ(console_.output(),
              "Tue Feb 10 14:49:49: Warning: Korvane.flunk could not be read (Is a directory); "
              "using the built-in kick message\n");
}

TEST(FormatKickMessage, TheFirstPercentSTakesTheName) {
    EXPECT_EQ(FormatKickMessage("%s kicked.", "Mech"), "Mech kicked.");
    EXPECT_EQ(FormatKickMessage("Bye %s, %s", "Mech"), "Bye Mech, %s");
    EXPECT_EQ(FormatKickMessage("no name here", "Mech"), "no name here");
    EXPECT_EQ(FormatKickMessage("", "Mech"), "");
    EXPECT_EQ(FormatKickMessage("%s", "%s%n"), "%s%n");  // the name is not read as a format
}

TEST(FormatKickMessage, EveryOtherConversionIsPrintedAsItStands) {
    EXPECT_EQ(FormatKickMessage("%d %x %n %p %s", "Mech"), "%d %x %n %p Mech");
    EXPECT_EQ(FormatKickMessage("% sure, %-10s %s", "Mech"), "% sure, %-10s Mech");
    EXPECT_EQ(FormatKickMessage("100%% sure, %s", "Mech"), "100% sure, Mech");
    EXPECT_EQ(FormatKickMessage("%%s is %s", "Mech"), "%s is Mech");
    EXPECT_EQ(FormatKickMessage("%s ends in %", "Mech"), "Mech ends in %");
}

}  // namespace
}  // namespace korvane
