// The Windows build guarding real players live under Wine. Wine's own wpcap.dll hands korvane.exe
// the frames the host's libpcap captures on lo; the program lists the adapters, takes the number
// typed at its prompt (through a Linux pipe), finds the server port, follows the players, kicks
// the one whose variant breaks the rules through its own link to the stand-in server, and ends
// on Ctrl+C, which Wine makes of SIGINT, with its shutdown lines. Needs root and the Windows
// build; skipped with the reason printed otherwise.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/live_players.h"
#include "tests/support/loopback_adapter.h"
#include "tests/support/standin_process.h"
#include "tests/support/wine_guard.h"
#include "tests/tools/variant_test_support.h"
#include "tools/session_builder.h"
#include "tools/variant_builder.h"

namespace korvane {
namespace {

using korvane::testing::ArrivedOn;
using korvane::testing::ChildProcess;
using korvane::testing::ConnectionFrom;
using korvane::testing::FindWindowsBuild;
using korvane::testing::FreshDirectory;
using korvane::testing::LoopbackAdapterNumber;
using korvane::testing::Player;
using korvane::testing::ReadWholeFile;
using korvane::testing::StandinProcess;
using korvane::testing::TextFileLines;
using korvane::testing::WaitForText;
using korvane::testing::WineGuard;
using korvane::testing::WithoutStamp;
using korvane::testing::Wpcap;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

constexpr uint32_t kAtlasVariant = 958 * 65536 + 1;
constexpr uint16_t kEcm = 813;
constexpr uint16_t kJumpJets = 815;
constexpr uint16_t kLargeLaser = 888;

// Waits until the stand-in has printed a line holding `text`.
bool ServerSaw(const StandinProcess& server, const std::string& text,
               std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const std::vector<std::string> printed = server.Output();
        if (std::any_of(printed.begin(), printed.end(),
                        [&](const std::string& line) { return line.find(text) != line.npos; })) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
}

TEST(LiveWine, GuardsRealPlayersOnLoopbackUnderWine) {
    std::string why;
    const auto build = FindWindowsBuild(why);
    if (!build) {
        GTEST_SKIP() << "Skipped: " << why;
    }
    if (LoopbackAdapterNumber(why) == 0) {
        GTEST_SKIP() << "Skipped: " << why;
    }
    const auto dir = FreshDirectory("live-wine");
    const auto console = dir / "korvane.out";
    StandinProcess server(dir);
    const int port = server.Port();
    ASSERT_GT(port, 0);
    const std::string portText = std::to_string(port);

    const korvane::testing::GuardCommand guard =
        WineGuard(*build, build->KorvaneExe(), Wpcap::wines);
    ChildProcess::Options options = ChildProcess::In(dir, console);
    options.stderrFile = dir / "wine.err";
    options.stdinPipe = true;
    const std::unique_ptr<ChildProcess> started = guard.Start({"/host:127.0.0.1"}, options);
    ChildProcess& korvane = *started;

    // The adapter list shows Wine's descriptions of the host's interfaces; lo is typed in.
    ASSERT_TRUE(WaitForText(console, "Select the number of the adapter to open : ", 60s))
        << ReadWholeFile(console) << ReadWholeFile(dir / "wine.err");
    std::string loopback;
    const std::regex listed("([0-9]+)- lo");
    for (const std::string& line : TextFileLines(console)) {
        std::smatch number;
        if (std::regex_match(line, number, listed)) {
            loopback = number[1];
        }
    }
    ASSERT_FALSE(loopback.empty()) << ReadWholeFile(console);
    korvane.WriteStdin(loopback + "\n");
    ASSERT_TRUE(
        WaitForText(console, "Waiting for connect traffic to determine the server port", 20s))
        << ReadWholeFile(console);

    struct Joining {
        uint32_t address;
        uint32_t id;
        const char* name;
    };
    const Joining alpha{0x7F000002, 0x102, "Alpha"};
    const Joining bravo{0x7F000003, 0x203, "Bravo"};
    Player a(alpha.address, port);
    ASSERT_TRUE(a.connected());
    ASSERT_TRUE(a.Send(tools::BuildConnectMessage(alpha.id)));
    ASSERT_TRUE(WaitForText(console, "Analyzing traffic on server port " + portText + "...", 20s))
        << ReadWholeFile(console);
    Player b(bravo.address, port);
    ASSERT_TRUE(b.connected());
    for (auto [player, who] : {std::pair{&a, alpha}, std::pair{&b, bravo}}) {
        ASSERT_TRUE(player->Send(tools::BuildCreationMessage(who.id, std::string_view(who.name))));
    }
    // Alpha's Atlas is legal; Bravo's carries jump jets, which an Atlas may not.
    for (const auto& message :
         tools::UploadMessages(alpha.id, 1,
                               tools::BuildVariant(tools::Variant(
                                   kAtlasVariant, {{kEcm, 108}, {kLargeLaser, 108}}, "Brawler")),
                               1000, 3)) {
        ASSERT_TRUE(a.Send(message));
    }
    for (const auto& message : tools::UploadMessages(
             bravo.id, 7,
             tools::BuildVariant(
                 tools::Variant(kAtlasVariant, {{kLargeLaser, 108}, {kJumpJets, 108}}, "Skyhook")),
             1000, 3)) {
        ASSERT_TRUE(b.Send(message));
    }
    // The kick: the farewell, and after the grace time the removal.
    ASSERT_TRUE(ServerSaw(server, "See ya later Bravo.", 20s))
        << ReadWholeFile(dir / "standin.out") << ReadWholeFile(console);
    ASSERT_TRUE(ServerSaw(server, "delete player 00000202", 20s))
        << ReadWholeFile(dir / "standin.out");

    // Ctrl+C ends the run as Escape does.
    ASSERT_EQ(::kill(korvane.pid(), SIGINT), 0);
    ASSERT_EQ(korvane.Wait(30s), 0) << ReadWholeFile(console);
    const std::vector<std::string> printed = server.Stop();

    // The program's link came after Alpha's connection and said the kick in order.
    ASSERT_EQ(ConnectionFrom(printed, "127.0.0.1"), 2) << ReadWholeFile(dir / "standin.out");
    const std::vector<std::string> link = ArrivedOn(printed, 2);
    std::vector<std::string> kick;
    std::copy_if(link.begin(), link.end(), std::back_inserter(kick), [](const std::string& line) {
        return line.starts_with("chat 00000203 -> ") ||
               line.starts_with("chat 00000001 -> 00000203 ") || line.starts_with("delete ");
    });
    EXPECT_THAT(kick, ElementsAre(HasSubstr("Bravo kicked."),
                                  HasSubstr("Illegal Jump Jets subsystem on 'Skyhook'"),
                                  HasSubstr("See ya later Bravo."), "delete player 00000203",
                                  "delete player 00000202"))
        << ReadWholeFile(dir / "standin.out");

    std::vector<std::string> log;
    for (const std::string& line : TextFileLines(dir / "Korvane.log")) {
        log.push_back(WithoutStamp(line));
    }
    EXPECT_THAT(log, Contains("Server port " + portText + " detected (0001)"));
    EXPECT_THAT(log, Contains("Connection to server 127.0.0.1 established"));
    EXPECT_THAT(log, Contains("00000203 \"Bravo\" [Unknown] [127.0.0.3]: Atlas config 'Skyhook' is "
                              "INVALID: Illegal components"));
    ASSERT_GE(log.size(), 5u);
    EXPECT_EQ(log[log.size() - 5], "Korvane shutting down.");
    EXPECT_THAT(log[log.size() - 4], ::testing::MatchesRegex("[0-9]+ packets received\\. 0 "
                                                             "Packets lost"));
    EXPECT_THAT(std::vector(log.end() - 3, log.end()),
                ElementsAre("Shutdown TCP/IP (0)", "Shutdown complete.", ""));
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace korvane
