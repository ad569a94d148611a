// Chat commands and time announcements in a replayed capture, against the stand-in game server:
// every command answered from the player table as it stands when asked, with players of every
// tech class, and announcements on the capture's clock.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/replayed_run.h"
#include "tests/support/standin_process.h"

namespace korvane {
namespace {

using korvane::testing::AnnouncedTime;
using korvane::testing::Arrived;
using korvane::testing::ArrivedChat;
using korvane::testing::FreshDirectory;
using korvane::testing::ReadWholeFile;
using korvane::testing::ReplayedRun;
using korvane::testing::StandinProcess;
using ::testing::ElementsAre;

// Five minutes with a player of every tech class and an announcement every two.
TEST(ServerTimeAndCommands, EveryCommandIsAnsweredFromThePlayersAsTheyStandWhenAsked) {
    ReplayedRun run(FreshDirectory("every-command"));
    StandinProcess server(run.dir());
    const int port = server.Port();
    ASSERT_GT(port, 0);
    std::string scenario = "base 1075819800\n";
    auto at = [&](int second, int player, const std::string& event) {
        scenario += "at +" + std::to_string(second) + " 127.0.0." + std::to_string(player + 1) +
                    ":4000" + std::to_string(player) + " > 127.0.0.1:" + std::to_string(port) +
                    " " + event + "\n";
    };
    auto say = [&](int second, int player, const std::string& text) {
        at(second, player, "chat sender=" + std::to_string(player) + "0 receiver=1 text=" + text);
    };
    at(1, 1, "create id=10 name=Ada");
    at(2, 2, "create id=20 name=Bo");
    at(3, 3, "create id=30 name=Cy");
    at(4, 4, "create id=40 name=Di");
    at(10, 1, "upload sender=10 seq=1 chassis=3be0001 components=888 name=Laser");  // IS
    at(12, 2, "stock sender=20 chassis=4290001");  // a stock Mad Cat: Clan, no weapons counted
    at(14, 3, "upload sender=30 seq=1 chassis=3be0001 components=885 name=Iic");    // IIC
    at(16, 4, "upload sender=40 seq=1 chassis=4260001 components=888 name=Cross");  // Clan + IS
    at(20, 5, "create id=50 name=Ed");  // chooses nothing: never listed
    say(30, 1, "~is");
    say(35, 1, "~is");  // the same one-line answer again at once: sent again
    say(40, 2, "~clan");
    say(50, 3, "~mixed");
    say(70, 4, "~tech");
    say(80, 5, "~version");
    say(90, 5, "~commands");
    say(100, 1, "~time");
    // Di changes to a legal Clan variant; nobody mixes any more but Cy.
    at(150, 4, "upload sender=40 seq=3 chassis=4260001 components=885 name=Pure");
    say(200, 2, "~m");
    at(250, 3, "delete id=30");
    say(290, 2, "~mixed");
    ASSERT_TRUE(run.MakeCapture(scenario));
    ASSERT_EQ(
        run.Replay({"/host:127.0.0.1", "/port:" + std::to_string(port), "/puretech", "/time:2"}), 0)
        << ReadWholeFile(run.dir() / "korvane.out");

    // The run starts with the first frame, at 14:50:01: announcements at 14:50:02, 14:52:02 and
    // 14:54:02, each in the name of the player who joined last by then.
    EXPECT_THAT(run.Running(),
                ElementsAre("Analyzing traffic on server port " + std::to_string(port) + "...",
                            "00000010 User connected", "00000020 User connected", AnnouncedTime(2),
                            "00000030 User connected", "00000040 User connected",
                            "00000010 Ada (Unknown) VALID", "00000020 Bo (Unknown) VALID",
                            "00000030 Cy (Unknown) VALID", "00000040 Di (Unknown) VALID",
                            "00000050 User connected", AnnouncedTime(100), AnnouncedTime(122),
                            "00000040 Di (Unknown) VALID", AnnouncedTime(242),
                            "00000030 User Cy (Unknown) disconnected"));

    const std::string is = "Valid: Ada: IS";
    const std::string clan = "Valid: Bo: NA";
    const std::string cross = "Violation: Di: IS";
    const std::string iic = "Violation: Cy: IIC Config";
    EXPECT_THAT(
        Arrived(server.Stop()),
        ElementsAre(ArrivedChat(0x20, 1, 0, AnnouncedTime(2)),
                    // Without /report only the tech of a selection is told.
                    ArrivedChat(0x10, 1, 0, "Ada selected IS Tech"),
                    ArrivedChat(0x20, 1, 0, "Bo selected Clan Tech"),
                    ArrivedChat(0x30, 1, 0, "Cy selected Mixed Tech IIC", true),
                    ArrivedChat(0x40, 1, 0, "Di selected Mixed Tech", true),
                    ArrivedChat(0x10, 1, 0, is), ArrivedChat(0x10, 1, 0, is),      // ~is ~is
                    ArrivedChat(0x20, 1, 0, clan),                                 // ~clan
                    ArrivedChat(0x30, 1, 0, cross), ArrivedChat(0x30, 1, 0, iic),  // ~mixed
                    // ~tech
                    ArrivedChat(0x40, 1, 0, is), ArrivedChat(0x40, 1, 0, clan),
                    ArrivedChat(0x40, 1, 0, cross), ArrivedChat(0x40, 1, 0, iic),
                    ArrivedChat(1, 0x50, 7, "Korvane 2.1 (beta.1) Feb 10 2004 14:49:51 (SECURE)"),
                    ArrivedChat(0x50, 1, 0, "~version, ~time, ~commands"),
                    ArrivedChat(0x50, 1, 0, "~tech, ~clan, ~is, ~mixed"),
                    ArrivedChat(0x50, 1, 0, AnnouncedTime(100)),  // ~time, from the newest player
                    ArrivedChat(0x50, 1, 0, AnnouncedTime(122)),
                    ArrivedChat(0x40, 1, 0, "Di selected Clan Tech"),
                    ArrivedChat(0x20, 1, 0, iic),  // ~m
                    ArrivedChat(0x50, 1, 0, AnnouncedTime(242)),
                    ArrivedChat(0x20, 1, 0, "No puretech violations")));  // ~mixed, Cy gone
}

}  // namespace
}  // namespace korvane
