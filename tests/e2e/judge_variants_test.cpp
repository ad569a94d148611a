// The built program judging the variants players upload in a replayed capture, against the
// stand-in game server: a legal variant reported, an illegal one logged, collected, explained
// to its player and removed after the grace time, pieces that arrive out of order.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/replayed_run.h"
#include "tests/support/standin_process.h"
#include "tests/tools/variant_test_support.h"
#include "tools/session_builder.h"
#include "tools/variant_builder.h"

namespace korvane {
namespace {

using korvane::testing::Arrived;
using korvane::testing::ArrivedChat;
using korvane::testing::FreshDirectory;
using korvane::testing::LogStamp;
using korvane::testing::ReadWholeFile;
using korvane::testing::ReplayedRun;
using korvane::testing::StandinProcess;
using ::testing::ElementsAre;

constexpr uint32_t kAtlas = 958 * 65536 + 1;  // the variant chassis id, 03be0001

class JudgeVariantsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = FreshDirectory(std::string("judge-") +
                              ::testing::UnitTest::GetInstance()->current_test_info()->name());
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::filesystem::path dir_;
};

TEST_F(JudgeVariantsTest, LegalVariantReportedIllegalOneKickedAndRemoved) {
    ReplayedRun run(dir_);
    StandinProcess server(run.dir());
    const int port = server.Port();
    ASSERT_GT(port, 0);
    const std::string to = " > 127.0.0.1:" + std::to_string(port) + " ";
    ASSERT_TRUE(run.MakeCapture(
        "base 1075819800\n"
        "at +0.5 127.0.0.2:40001" +
        to +
        "create id=2a name=Mira\n"
        "at +1.0 127.0.0.2:40001" +
        to +
        "info sender=2a text=Atlas pilot\n"
        "at +2.0 127.0.0.2:40001" +
        to +
        "upload sender=2a seq=10 chassis=3be0001 components=813,888:376 name=Legal\n"
        "at +4.0 127.0.0.3:40002" +
        to +
        "create id=3b name=Jumper\n"
        // Jump jets on an Atlas, in three pieces.
        "at +5.0 127.0.0.3:40002" +
        to +
        "upload sender=3b seq=20 chassis=3be0001 components=888,815 pieces=3 name=Brawler\n"
        // The grace time runs out after 14:50:10; the sweep at 14:50:11 removes Jumper.
        "at +13.0 127.0.0.2:40001" +
        to + "chat sender=2a receiver=1 text=still here\n"));
    ASSERT_EQ(run.Replay({"/host:127.0.0.1", "/port:" + std::to_string(port), "/report",
                          "/puretech", "/collect"}),
              0)
        << ReadWholeFile(run.dir() / "korvane.out");

    // Named by the capture's clock when the last piece came: 14:50:05 is 401fb51d.
    const std::string file = "401fb51d.0000003b.variant.mw4";
    const std::string jumper = "0000003b \"Jumper\" [Unknown] [127.0.0.3]: ";
    EXPECT_THAT(
        run.LogWhileRunning(),
        ElementsAre(LogStamp(0) + "Connection to server 127.0.0.1 established",
                    LogStamp(5) + jumper + "JJ Subsystem: INVALID",
                    LogStamp(5) + jumper + "Atlas config 'Brawler' is INVALID: Illegal components",
                    LogStamp(5) + jumper + "Illegal variant Atlas Brawler written to file " + file,
                    ""));
    EXPECT_THAT(
        run.Running(),
        ElementsAre(
            "Analyzing traffic on server port " + std::to_string(port) + "...",
            "0000002a User connected", "0000002a Mira (Atlas pilot) VALID",
            "0000003b User connected",
            LogStamp(5) + "0000003b \"Jumper\"  [Unknown] [127.0.0.3]: JJ Subsystem: INVALID",
            LogStamp(5) + "0000003b \"Jumper\"  [Unknown] [127.0.0.3]: Atlas config "
                          "'Brawler' is INVALID: Illegal components",
            LogStamp(5) +
                "0000003b \"Jumper\"  [Unknown] [127.0.0.3]: Illegal variant "
                "Atlas Brawler written to file " +
                file,
            "", "0000003b Jumper (Unknown) INVALID"));

    // The collected file is the upload, byte for byte.
    const std::vector<uint8_t> container =
        tools::BuildVariant(tools::Variant(kAtlas, {{888, 108}, {815, 108}}, "Brawler"));
    EXPECT_EQ(ReadWholeFile(run.dir() / file), std::string(container.begin(), container.end()));

    EXPECT_THAT(
        Arrived(server.Stop()),
        ElementsAre(ArrivedChat(1, 0x2a, 7, "Korvane 2.1 (beta.1) Feb 10 2004 14:49:51 (SECURE)"),
                    ArrivedChat(1, 0x2a, 7, "PureTech checking is active"),
                    ArrivedChat(1, 0x2a, 7, "Mech selection reporting is active"),
                    ArrivedChat(1, 0x2a, 7,
                                "Korvane: Type '~commands' for a list of chat commands available"),
                    ArrivedChat(0x2a, 1, 0, "Mira selected Atlas Variant (IS Tech)"),
                    ArrivedChat(0x3b, 1, 0, "Jumper kicked.", true),
                    ArrivedChat(0x3b, 1, 0, "Illegal Jump Jets subsystem on 'Brawler'", true),
                    ArrivedChat(1, 0x3b, 0, "See ya later Jumper."), "[1] delete player 0000003b",
                    "[1] delete player 0000003a"));
}

TEST_F(JudgeVariantsTest, PiecesOutOfOrderAreJudgedOnce) {
    ReplayedRun run(dir_);
    ASSERT_TRUE(run.MakeCapture(
        "base 1075819800\n"
        "at +1.0 127.0.0.2:40001 > 127.0.0.1:2300 create id=2a name=Mira\n"
        // The last piece first, then the middle pieces swapped.
        "at +2.0 127.0.0.2:40001 > 127.0.0.1:2300 upload sender=2a seq=65534 chassis=3be0001 "
        "components=888,816,815 pieces=4 order=3,0,2,1 name=Shuffled\n"
        "at +3.0 127.0.0.3:40002 > 127.0.0.1:2300 create id=3b name=Tidy\n"
        "at +4.0 127.0.0.3:40002 > 127.0.0.1:2300 upload sender=3b seq=1 chassis=3be0001 "
        "components=813 pieces=5 order=0,1,3,2,4 name=Swapped\n"));
    ASSERT_EQ(run.Replay({"/test", "/port:2300", "/host:127.0.0.1"}), 0)
        << ReadWholeFile(run.dir() / "korvane.out");

    const std::string mira = LogStamp(2) + "0000002a \"Mira\" [Unknown] [127.0.0.2]: ";
    EXPECT_THAT(run.LogWhileRunning(),
                ElementsAre(mira + "JJ Subsystem: INVALID",
                            mira + "Atlas config 'Shuffled' is INVALID: Illegal components"));
    const std::string console = LogStamp(2) + "0000002a \"Mira\"  [Unknown] [127.0.0.2]: ";
    EXPECT_THAT(run.Running(),
                ElementsAre("Analyzing traffic on server port 2300...", "0000002a User connected",
                            console + "JJ Subsystem: INVALID",
                            console + "Atlas config 'Shuffled' is INVALID: Illegal components",
                            "0000002a Mira (Unknown) INVALID", "0000003b User connected",
                            "0000003b Tidy (Unknown) VALID"));
}

}  // namespace
}  // namespace korvane
