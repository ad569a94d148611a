// Whole game sessions replayed against the stand-in game server: the demo's three minutes (the
// port detected, greetings, stock and custom selections, a kick with the server's own message,
// chat commands, time announcements on the capture's clock, players leaving), and every chat
// command with players of every tech class.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "tests/support/child_process.h"
#include "tests/support/replayed_run.h"
#include "tests/support/standin_process.h"

namespace korvane {
namespace {

using korvane::testing::Arrived;
using korvane::testing::ArrivedChat;
using korvane::testing::FreshDirectory;
using korvane::testing::ReadWholeFile;
using korvane::testing::ReplayedRun;
using korvane::testing::StandinProcess;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

constexpr int64_t kBase = 1075819800;  // Tue Feb 03 2004 14:50:00 UTC

// The log stamp of a second of the session.
std::string Stamp(int second) {
    return CalendarText(kBase + second).substr(0, 19) + ": ";
}
std::string Time(int second) {
    return CalendarText(kBase + second);
}

TEST(WholeSession, TheDemoSessionAsTheConsoleTheLogAndTheServerShowIt) {
    ReplayedRun run(FreshDirectory("whole-session"));
    StandinProcess server(run.dir());
    const int port = server.Port();
    ASSERT_GT(port, 0);
    // The demo's scenario, with the stand-in's port for the server's.
    const std::string scenario =
        ReadWholeFile(std::filesystem::path(KORVANE_SOURCE_DIR) / "tools/demo/session.scenario");
    ASSERT_TRUE(run.MakeCapture(std::regex_replace(scenario, std::regex("127\\.0\\.0\\.1:2300"),
                                                   "127.0.0.1:" + std::to_string(port))));
    std::filesystem::copy_file(
        std::filesystem::path(KORVANE_SOURCE_DIR) / "tools/demo/Korvane.flunk",
        run.dir() / "Korvane.flunk");
    // As the demo runs it: the port found from the first connect message.
    ASSERT_EQ(run.Replay({"/host:127.0.0.1", "/report", "/puretech", "/collect", "/time:1"}), 0)
        << ReadWholeFile(run.dir() / "korvane.out");

    const std::string file = "401fb540.00000304.variant.mw4";
    const std::string jumper = "00000304 \"Jumper\" [Sky high] [127.0.0.4]: ";
    const std::string detected = "Server port " + std::to_string(port) + " detected (0001)";
    EXPECT_THAT(
        run.LogWhileRunning(),
        ElementsAre(Stamp(0) + "2 custom kick messages loaded.", Stamp(0) + detected,
                    Stamp(0) + "Connection to server 127.0.0.1 established",
                    Stamp(40) + jumper + "JJ Subsystem: INVALID",
                    Stamp(40) + jumper + "Atlas config 'Skyhook' is INVALID: Illegal components",
                    Stamp(40) + jumper + "Illegal variant Atlas Skyhook written to file " + file,
                    ""));
    EXPECT_TRUE(std::filesystem::exists(run.dir() / file));

    const std::string jumperOnConsole = "00000304 \"Jumper\"  [Sky high] [127.0.0.4]: ";
    EXPECT_THAT(
        run.Running(),
        ElementsAre(
            "Waiting for connect traffic to determine the server port...", Stamp(0) + detected,
            Stamp(0) + "Connection to server 127.0.0.1 established",
            "Analyzing traffic on server port " + std::to_string(port) + "...",
            "00000102 User connected",
            // The first announcement, a second after start-up.
            Time(1), "00000203 User connected", "00000102 Wolfhound (Lone wolf) VALID",
            "00000203 Kit Fox (Clan Wolf) VALID", "00000304 User connected",
            "00000405 User connected", "00000405 Nova (Star captain) VALID",
            "00000102 Wolfhound (Lone wolf) VALID", "00000203 Kit Fox (Clan Wolf) VALID",
            Stamp(40) + jumperOnConsole + "JJ Subsystem: INVALID",
            Stamp(40) + jumperOnConsole + "Atlas config 'Skyhook' is INVALID: Illegal components",
            Stamp(40) + jumperOnConsole + "Illegal variant Atlas Skyhook written to file " + file,
            "", "00000304 Jumper (Sky high) INVALID",
            // On the grid, and Kit Fox's "~time" at 14:51:35 in between.
            Time(61), Time(95), Time(121), "00000203 User Kit Fox (Clan Wolf) disconnected",
            "00000102 User Wolfhound (Lone wolf) disconnected", Time(181)));

    std::vector<std::string> expected;
    auto add = [&expected](const std::vector<std::string>& lines) {
        expected.insert(expected.end(), lines.begin(), lines.end());
    };
    auto greet = [&add](uint32_t id) {
        add({ArrivedChat(1, id, 7, "Korvane 2.1 (beta.1) Feb 10 2004 14:49:51 (SECURE)"),
             ArrivedChat(1, id, 7, "PureTech checking is active"),
             ArrivedChat(1, id, 7, "Mech selection reporting is active"),
             ArrivedChat(1, id, 7,
                         "Korvane: Type '~commands' for a list of chat commands available")});
    };
    greet(0x102);
    // Time lines go out in the name of the player who joined last: Wolfhound, later Nova.
    add({ArrivedChat(0x102, 1, 0, Time(1))});
    greet(0x203);
    add({ArrivedChat(0x102, 1, 0, "Wolfhound selected Atlas Stock IS Tech"),
         ArrivedChat(0x203, 1, 0, "Kit Fox selected Shadow Cat Stock Clan Tech")});
    greet(0x304);
    greet(0x405);
    add({ArrivedChat(0x405, 1, 0, "Nova selected Mad Cat Stock Clan Tech"),
         ArrivedChat(0x102, 1, 0, "Wolfhound selected Atlas Variant (IS Tech)"),
         ArrivedChat(0x203, 1, 0, "Kit Fox selected Mad Cat Variant (Mixed Tech)", true),
         ArrivedChat(0x304, 1, 0, "Bye Jumper, read the rules at the lobby.", true),
         ArrivedChat(0x304, 1, 0, "Illegal Jump Jets subsystem on 'Skyhook'", true),
         ArrivedChat(1, 0x304, 0, "See ya later Jumper."), "[1] delete player 00000304",
         "[1] delete player 00000303",
         // ~commands
         ArrivedChat(0x102, 1, 0, "~version, ~time, ~commands"),
         ArrivedChat(0x102, 1, 0, "~tech, ~clan, ~is, ~mixed"),
         // ~tech, once Jumper is gone: IS, Clan (Nova's stock mech counts no weapons), Mixed.
         ArrivedChat(0x405, 1, 0, "Valid: Wolfhound: IS"),
         ArrivedChat(0x405, 1, 0, "Valid: Nova: NA"),
         ArrivedChat(0x405, 1, 0, "Violation: Kit Fox: Mixed"),
         // The grid, and the answer to Kit Fox's "~time".
         ArrivedChat(0x405, 1, 0, Time(61)), ArrivedChat(0x405, 1, 0, Time(95)),
         ArrivedChat(0x405, 1, 0, Time(121)), ArrivedChat(0x405, 1, 0, Time(181))});
    EXPECT_THAT(Arrived(server.Stop()), ElementsAreArray(expected));
}

// Every command, with a player of every tech class on the server for five minutes and an
// announcement every two.
TEST(WholeSession, EveryCommandIsAnsweredFromThePlayersAsTheyStandWhenAsked) {
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
    say(40, 2, "~clan");
    say(50, 3, "~mixed");
    say(60, 3, "~mixed");  // asked again at once: answered again
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
    EXPECT_THAT(
        run.Running(),
        ElementsAre("Analyzing traffic on server port " + std::to_string(port) + "...",
                    "00000010 User connected", "00000020 User connected", Time(2),
                    "00000030 User connected", "00000040 User connected",
                    "00000010 Ada (Unknown) VALID", "00000020 Bo (Unknown) VALID",
                    "00000030 Cy (Unknown) VALID", "00000040 Di (Unknown) VALID",
                    "00000050 User connected", Time(100), Time(122), "00000040 Di (Unknown) VALID",
                    Time(242), "00000030 User Cy (Unknown) disconnected"));

    const std::string is = "Valid: Ada: IS";
    const std::string clan = "Valid: Bo: NA";
    const std::string cross = "Violation: Di: IS";
    const std::string iic = "Violation: Cy: IIC Config";
    EXPECT_THAT(
        Arrived(server.Stop()),
        ElementsAre(ArrivedChat(0x20, 1, 0, Time(2)),
                    // Without /report only the tech of a selection is told.
                    ArrivedChat(0x10, 1, 0, "Ada selected IS Tech"),
                    ArrivedChat(0x20, 1, 0, "Bo selected Clan Tech"),
                    ArrivedChat(0x30, 1, 0, "Cy selected Mixed Tech IIC", true),
                    ArrivedChat(0x40, 1, 0, "Di selected Mixed Tech", true),
                    ArrivedChat(0x10, 1, 0, is),                                   // ~is
                    ArrivedChat(0x20, 1, 0, clan),                                 // ~clan
                    ArrivedChat(0x30, 1, 0, cross), ArrivedChat(0x30, 1, 0, iic),  // ~mixed
                    ArrivedChat(0x30, 1, 0, cross), ArrivedChat(0x30, 1, 0, iic),  // ~mixed
                    // ~tech
                    ArrivedChat(0x40, 1, 0, is), ArrivedChat(0x40, 1, 0, clan),
                    ArrivedChat(0x40, 1, 0, cross), ArrivedChat(0x40, 1, 0, iic),
                    ArrivedChat(1, 0x50, 7, "Korvane 2.1 (beta.1) Feb 10 2004 14:49:51 (SECURE)"),
                    ArrivedChat(0x50, 1, 0, "~version, ~time, ~commands"),
                    ArrivedChat(0x50, 1, 0, "~tech, ~clan, ~is, ~mixed"),
                    ArrivedChat(0x50, 1, 0, Time(100)),  // ~time, from the newest player
                    ArrivedChat(0x50, 1, 0, Time(122)),
                    ArrivedChat(0x40, 1, 0, "Di selected Clan Tech"),
                    ArrivedChat(0x20, 1, 0, iic),  // ~m
                    ArrivedChat(0x50, 1, 0, Time(242)),
                    ArrivedChat(0x20, 1, 0, "No puretech violations")));  // ~mixed, Cy gone
}

}  // namespace
}  // namespace korvane
