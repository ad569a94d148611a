// The built program following real players on the loopback interface: it finds the server
// port from the first connect message, links to the server and then follows every player that
// joins. Linux puts the TCP timestamp option on these segments, so their payload does not start
// where a frame without options has it. Needs the right to capture (root); skipped with the
// reason printed where it is not given.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/live_players.h"
#include "tests/support/loopback_adapter.h"
#include "tests/support/standin_process.h"
#include "tools/session_builder.h"

namespace korvane {
namespace {

using korvane::testing::ChildProcess;
using korvane::testing::FreshDirectory;
using korvane::testing::LoopbackAdapterNumber;
using korvane::testing::Player;
using korvane::testing::ReadWholeFile;
using korvane::testing::SplitLines;
using korvane::testing::WaitForLines;
using korvane::testing::WaitForText;
using korvane::testing::WithoutStamp;
using namespace std::chrono_literals;

TEST(LiveFollow, FindsThePortAndFollowsRealPlayersOnLoopback) {
    std::string why;
    const int adapter = LoopbackAdapterNumber(why);
    if (adapter == 0) {
        GTEST_SKIP() << "Skipped: " << why;
    }
    const auto dir = FreshDirectory("live-follow");
    const auto console = dir / "korvane.out";
    korvane::testing::StandinProcess server(dir);
    const int port = server.Port();
    ASSERT_GT(port, 0);
    const std::string portText = std::to_string(port);

    ChildProcess::Options options = ChildProcess::In(dir, console);
    options.stdinPipe = true;
    ChildProcess korvane(KORVANE_EXE, {"/adapter:" + std::to_string(adapter), "/host:127.0.0.1"},
                         options);
    ASSERT_TRUE(
        WaitForText(console, "Waiting for connect traffic to determine the server port...\n", 20s))
        << ReadWholeFile(console);

    struct Joining {
        uint32_t address;
        uint32_t id;
        const char* name;
    };
    const std::vector<Joining> joining = {{0x7F000002, 0x0a0b0c01, "Alpha"},
                                          {0x7F000003, 0x0a0b0c02, "Bravo"},
                                          {0x7F000004, 0x0a0b0c03, "Charlie Three"},
                                          {0x7F000005, 0x0a0b0c04, "Delta"}};
    std::vector<std::unique_ptr<Player>> players;
    std::vector<std::string> expectedPlayerLines;
    for (const Joining& who : joining) {
        players.push_back(std::make_unique<Player>(who.address, port));
        Player& player = *players.back();
        ASSERT_TRUE(player.connected()) << who.name;
        std::this_thread::sleep_for(50ms);
        ASSERT_TRUE(player.Send(tools::BuildConnectMessage(who.id))) << who.name;
        if (players.size() == 1) {
            // The first connect message reveals the port; what follows is read once the
            // program listens to that port alone.
            ASSERT_TRUE(
                WaitForText(console, "Analyzing traffic on server port " + portText + "...\n", 10s))
                << ReadWholeFile(console);
        }
        ASSERT_TRUE(player.Send(tools::BuildCreationMessage(who.id, std::string_view(who.name))))
            << who.name;
        char line[32];
        std::snprintf(line, sizeof line, "%08x User connected", who.id);
        expectedPlayerLines.push_back(line);
    }
    const std::regex connected("[0-9a-f]{8} User connected");
    EXPECT_TRUE(WaitForLines(console, connected, joining.size(), 10s)) << ReadWholeFile(console);

    // The second player leaves.
    ASSERT_TRUE(players[1]->Send(tools::BuildDeletionMessage(joining[1].id)));
    expectedPlayerLines.push_back("0a0b0c02 User Bravo (Unknown) disconnected");
    EXPECT_TRUE(WaitForText(console, "0a0b0c02 User Bravo (Unknown) disconnected\n", 10s))
        << ReadWholeFile(console);

    korvane.WriteStdin("\x1b");
    ASSERT_EQ(korvane.Wait(20s), 0) << ReadWholeFile(console);
    players.clear();

    // The log: the port once, then the link, in that order.
    const std::vector<std::string> log = SplitLines(ReadWholeFile(dir / "Korvane.log"));
    std::vector<std::string> texts;
    std::transform(log.begin(), log.end(), std::back_inserter(texts), WithoutStamp);
    const std::string detected = "Server port " + portText + " detected (0001)";
    ASSERT_EQ(std::count(texts.begin(), texts.end(), detected), 1)
        << ReadWholeFile(dir / "Korvane.log");
    const auto at = std::find(texts.begin(), texts.end(), detected);
    ASSERT_NE(at + 1, texts.end());
    EXPECT_EQ(*(at + 1), "Connection to server 127.0.0.1 established");
    EXPECT_THAT(texts, ::testing::Not(::testing::Contains(::testing::HasSubstr("could not"))));
    EXPECT_THAT(texts, ::testing::Contains("Shutdown complete."));

    // The console: the filter for the port once, and each player exactly once.
    const std::vector<std::string> lines = SplitLines(ReadWholeFile(console));
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "Analyzing traffic on server port " + portText + "..."),
              1);
    static const std::regex player("[0-9a-f]{8} User (connected|.* \\(.*\\) disconnected)");
    std::vector<std::string> playerLines;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(playerLines),
                 [](const std::string& l) { return std::regex_match(l, player); });
    EXPECT_EQ(playerLines, expectedPlayerLines) << ReadWholeFile(console);
    EXPECT_THAT(lines, ::testing::Not(::testing::Contains(::testing::HasSubstr("Unhandled"))));

    // The server had the program's link from 127.0.0.1 besides the players, and took each
    // player's messages whole.
    const std::vector<std::string> received = server.Stop();
    const std::regex link("standin: connection [0-9]+ from 127\\.0\\.0\\.1:[0-9]+");
    EXPECT_EQ(std::count_if(received.begin(), received.end(),
                            [&](const std::string& l) { return std::regex_match(l, link); }),
              1)
        << ReadWholeFile(dir / "standin.out");
    for (const Joining& who : joining) {
        char created[64];
        std::snprintf(created, sizeof created, "create player %08x \"%s\"", who.id, who.name);
        EXPECT_THAT(received, ::testing::Contains(::testing::HasSubstr(created)));
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace korvane
