// A whole game session played by real TCP clients against the stand-in game server, while the
// built program guards the loopback interface live: it finds the server port from the first
// connect message and links to the server, greets the players, reports a stock selection and
// custom variants uploaded piece by piece (one in a shuffled order, one whose pieces all go in a
// single segment, one whose pieces are each cut into several segments by a small segment size),
// kicks the players whose variants carry a forbidden subsystem with the server's own kick
// message, removes them once the grace time has run out, answers chat commands, follows the players
// who leave and, on SIGTERM, shuts down with the capture statistics. Needs the right to capture
// (root); skipped with the reason printed where it is not given.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/format.h"
#include "tests/link/link_world.h"
#include "tests/support/child_process.h"
#include "tests/support/live_players.h"
#include "tests/support/loopback_adapter.h"
#include "tests/support/replayed_run.h"
#include "tests/support/standin_process.h"
#include "tests/tools/variant_test_support.h"
#include "tools/session_builder.h"
#include "tools/variant_builder.h"

namespace korvane {
namespace {

using korvane::testing::ArrivedOn;
using korvane::testing::ChatLine;
using korvane::testing::ChildProcess;
using korvane::testing::ConnectionFrom;
using korvane::testing::FreshDirectory;
using korvane::testing::IsLogLine;
using korvane::testing::kStampPattern;
using korvane::testing::LoopbackAdapterNumber;
using korvane::testing::Player;
using korvane::testing::ReadWholeFile;
using korvane::testing::Section;
using korvane::testing::SplitLines;
using korvane::testing::StandinProcess;
using korvane::testing::WaitForLines;
using korvane::testing::WaitForText;
using korvane::testing::WithoutStamp;
using ::testing::AllOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;
using ::testing::StartsWith;
using namespace std::chrono_literals;

constexpr uint32_t kAtlasStock = 961 * 65536 + 1;    // the stock selection id, 03c10001
constexpr uint32_t kAtlasVariant = 958 * 65536 + 1;  // the variant chassis id, 03be0001
constexpr uint32_t kMadCatVariant = 1062 * 65536 + 1;
constexpr uint16_t kEcm = 813;
constexpr uint16_t kJumpJets = 815;
constexpr uint16_t kClanErLargeLaser = 885;
constexpr uint16_t kLargeLaser = 888;

const std::string kVersionLine = "Korvane 2.1 (beta.1) Feb 10 2004 14:49:51 (SECURE)";

// A console line without the time stamp a log line carries there; other lines as they are.
std::string Unstamped(const std::string& line) {
    return IsLogLine(line) ? WithoutStamp(line) : line;
}

// When a line appeared in the stand-in's output: the time of the last look that did not find
// it (the line came later) and of the first that did (it had come by then).
struct Sighting {
    bool seen = false;
    std::chrono::steady_clock::time_point lastMissed;
    std::chrono::steady_clock::time_point seenAt;
};

Sighting WatchFor(const StandinProcess& server, const std::string& line,
                  std::chrono::milliseconds limit) {
    Sighting sighting;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto before = std::chrono::steady_clock::now();
        const std::vector<std::string> printed = server.Output();
        if (std::find(printed.begin(), printed.end(), line) != printed.end()) {
            sighting.seen = true;
            sighting.seenAt = std::chrono::steady_clock::now();
            return sighting;
        }
        sighting.lastMissed = before;
        if (before >= deadline) {
            return sighting;
        }
        std::this_thread::sleep_for(5ms);
    }
}

// The four lines a player hears once its player information has come, with /report and
// /puretech.
std::vector<std::string> Greeting(uint32_t id) {
    return {ChatLine(1, id, 7, kVersionLine), ChatLine(1, id, 7, "PureTech checking is active"),
            ChatLine(1, id, 7, "Mech selection reporting is active"),
            ChatLine(1, id, 7, "Korvane: Type '~commands' for a list of chat commands available")};
}

struct Joining {
    uint32_t address;
    uint32_t id;
    const char* name;
    const char* info;
    int maxSegment = 0;  // the connection's TCP_MAXSEG, where it is set
};

// Echo's segment size: the smallest a host must accept, well below the size of its pieces.
constexpr int kSmallSegment = 536;
constexpr size_t kSmallPayload = kSmallSegment - 12;  // less the time stamp option

TEST(LiveSession, PlaysAWholeGameSessionOnRealTraffic) {
    std::string why;
    const int adapter = LoopbackAdapterNumber(why);
    if (adapter == 0) {
        GTEST_SKIP() << "Skipped: " << why;
    }
    const auto dir = FreshDirectory("live-session");
    const auto console = dir / "korvane.out";
    std::ofstream(dir / "Korvane.flunk") << "The live session's kick message.\n"
                                         << "@Bye %s, read the rules.\n";
    StandinProcess server(dir);
    const int port = server.Port();
    ASSERT_GT(port, 0);
    const std::string portText = std::to_string(port);

    ChildProcess korvane(KORVANE_EXE,
                         {"/adapter:" + std::to_string(adapter), "/host:127.0.0.1", "/report",
                          "/puretech", "/collect"},
                         ChildProcess::In(dir, console));
    ASSERT_TRUE(
        WaitForText(console, "Waiting for connect traffic to determine the server port...\n", 20s))
        << ReadWholeFile(console);

    const Joining alpha{0x7F000002, 0x102, "Alpha", "Lone wolf"};
    const Joining bravo{0x7F000003, 0x203, "Bravo", "Sky high"};
    const Joining charlie{0x7F000004, 0x304, "Charlie", "Clan Wolf"};
    const Joining delta{0x7F000005, 0x405, "Delta", "Night owl"};
    const Joining echo{0x7F000006, 0x506, "Echo", "Low flyer", kSmallSegment};
    std::vector<std::unique_ptr<Player>> players;
    // Frames sent to the server port once the program listens to it alone: the handshake of
    // each player that connects from then on (its SYN and its ACK).
    size_t handshakeFrames = 0;
    for (const Joining* who : {&alpha, &bravo, &charlie, &delta, &echo}) {
        players.push_back(std::make_unique<Player>(who->address, port, who->maxSegment));
        Player& player = *players.back();
        ASSERT_TRUE(player.connected()) << who->name;
        if (players.size() == 1) {
            // The first connect message reveals the port.
            ASSERT_TRUE(player.Send(tools::BuildConnectMessage(who->id)));
            ASSERT_TRUE(
                WaitForText(console, "Analyzing traffic on server port " + portText + "...\n", 10s))
                << ReadWholeFile(console);
        } else {
            handshakeFrames += 2;
        }
        ASSERT_TRUE(player.Send(tools::BuildCreationMessage(who->id, std::string_view(who->name))));
        ASSERT_TRUE(player.Send(tools::BuildInfoMessage(who->id, who->info)));
    }
    Player& a = *players[0];
    Player& b = *players[1];
    Player& c = *players[2];
    Player& d = *players[3];
    Player& e = *players[4];
    auto say = [](Player& player, uint32_t id, const std::string& text) {
        return player.Send(tools::BuildChatMessage(id, tools::kHostPlayerId, 0, text));
    };
    // Each piece of an upload is a game message of its own, sent as a segment of its own.
    auto upload = [](Player& player, const std::vector<std::vector<uint8_t>>& messages,
                     const std::vector<size_t>& order) {
        bool sent = true;
        for (size_t index : order) {
            sent = player.Send(messages.at(index)) && sent;
        }
        return sent;
    };

    // Alpha takes a stock Atlas, then uploads a legal Atlas variant in three pieces.
    ASSERT_TRUE(a.Send(tools::BuildStockSelection(alpha.id, kAtlasStock)));
    const std::vector<uint8_t> brawler = tools::BuildVariant(
        tools::Variant(kAtlasVariant, {{kEcm, 108}, {kLargeLaser, 108}}, "Brawler"));
    ASSERT_TRUE(upload(a, tools::UploadMessages(alpha.id, 1, brawler, 1000, 3), {0, 1, 2}));
    // Charlie's Mad Cat mixes tech, which is told but allowed; its four pieces come shuffled,
    // the first, then the last, then the middle ones from the back, and their sequence numbers
    // wrap past 65535.
    const std::vector<uint8_t> hybrid = tools::BuildVariant(
        tools::Variant(kMadCatVariant, {{kClanErLargeLaser, 108}, {kLargeLaser, 108}}, "Hybrid"));
    ASSERT_TRUE(upload(c, tools::UploadMessages(charlie.id, 65534, hybrid, 1000, 4), {0, 3, 2, 1}));
    // The tech reports while Bravo has chosen nothing; ~tech comes in two segments.
    ASSERT_TRUE(say(a, alpha.id, "~is"));
    ASSERT_TRUE(say(c, charlie.id, "~clan"));
    ASSERT_TRUE(say(c, charlie.id, "~mixed"));
    ASSERT_TRUE(
        a.SendSplit(tools::BuildChatMessage(alpha.id, tools::kHostPlayerId, 0, "~tech"), 20));

    // Bravo's Atlas carries jump jets, which an Atlas may not.
    const std::vector<uint8_t> skyhook = tools::BuildVariant(
        tools::Variant(kAtlasVariant, {{kLargeLaser, 108}, {kJumpJets, 108}}, "Skyhook"));
    ASSERT_TRUE(upload(b, tools::UploadMessages(bravo.id, 7, skyhook, 1000, 3), {0, 1, 2}));
    // Delta writes the three pieces of a legal Atlas in one send: one segment carries them all.
    const std::vector<uint8_t> nightjar = tools::BuildVariant(
        tools::Variant(kAtlasVariant, {{kLargeLaser, 108}, {kLargeLaser, 108}}, "Nightjar"));
    ASSERT_TRUE(d.SendTogether(tools::UploadMessages(delta.id, 300, nightjar, 1000, 3)));
    // Echo's Atlas carries jump jets too; its pieces of about 1000 bytes go out in segments of
    // at most kSmallSegment bytes, each piece in two or three.
    const std::vector<uint8_t> lowball = tools::BuildVariant(
        tools::Variant(kAtlasVariant, {{kJumpJets, 108}, {kLargeLaser, 108}}, "Lowball", 3000));
    const std::vector<std::vector<uint8_t>> lowballPieces =
        tools::UploadMessages(echo.id, 40, lowball, 1000, 3);
    for (const auto& piece : lowballPieces) {
        ASSERT_GT(piece.size(), static_cast<size_t>(kSmallSegment));
    }
    ASSERT_TRUE(upload(e, lowballPieces, {0, 1, 2}));
    size_t cut = 2;  // its creation and its information, then each piece's segments
    for (const auto& piece : lowballPieces) {
        cut += (piece.size() + kSmallPayload - 1) / kSmallPayload;
    }
    EXPECT_EQ(e.segmentsSent(), cut);
    const Sighting farewell = WatchFor(
        server, "[2] " + ChatLine(1, bravo.id, 0, "See ya later " + std::string(bravo.name) + "."),
        10s);
    // The program's link is the second connection: Alpha's was the first.
    ASSERT_TRUE(farewell.seen) << ReadWholeFile(dir / "standin.out") << ReadWholeFile(console);
    ASSERT_TRUE(WatchFor(server, "[2] " + ChatLine(1, echo.id, 0, "See ya later Echo."), 5s).seen)
        << ReadWholeFile(dir / "standin.out") << ReadWholeFile(console);

    // Commands during the grace time.
    ASSERT_TRUE(say(c, charlie.id, "~commands"));
    ASSERT_TRUE(say(a, alpha.id, "~version"));
    ASSERT_TRUE(say(a, alpha.id, "~time"));
    // The first of the two deletion messages; the second follows it at once.
    const Sighting removed = WatchFor(server, "[2] delete player 00000203", 15s);
    ASSERT_TRUE(removed.seen) << ReadWholeFile(dir / "standin.out");
    ASSERT_TRUE(WatchFor(server, "[2] delete player 00000506", 5s).seen)
        << ReadWholeFile(dir / "standin.out");

    // Alpha, Charlie and Delta leave; then every player closes its connection.
    ASSERT_TRUE(a.Send(tools::BuildDeletionMessage(alpha.id)));
    ASSERT_TRUE(c.Send(tools::BuildDeletionMessage(charlie.id)));
    ASSERT_TRUE(d.Send(tools::BuildDeletionMessage(delta.id)));
    EXPECT_TRUE(WaitForLines(console, std::regex("[0-9a-f]{8} User .* disconnected"), 3, 10s))
        << ReadWholeFile(console);
    size_t dataSegments = 0;
    for (const auto& player : players) {
        dataSegments += player->segmentsSent();
        player->Close();
    }
    dataSegments -= 1;  // Alpha's connect message came before the port filter
    const size_t closingFrames = players.size();  // a FIN each
    EXPECT_TRUE(WaitForLines(dir / "standin.out",
                             std::regex("standin: connection [13456] closed after [0-9]+ bytes"), 5,
                             10s))
        << ReadWholeFile(dir / "standin.out");

    korvane.Terminate();
    ASSERT_EQ(korvane.Wait(20s), 0) << ReadWholeFile(console);
    const std::vector<std::string> printed = server.Stop();

    // Who connected to the server: Alpha, the program's link from 127.0.0.1, Bravo, Charlie,
    // Delta, Echo.
    ASSERT_EQ(ConnectionFrom(printed, "127.0.0.2"), 1) << ReadWholeFile(dir / "standin.out");
    ASSERT_EQ(ConnectionFrom(printed, "127.0.0.1"), 2);
    ASSERT_EQ(ConnectionFrom(printed, "127.0.0.3"), 3);
    ASSERT_EQ(ConnectionFrom(printed, "127.0.0.4"), 4);
    ASSERT_EQ(ConnectionFrom(printed, "127.0.0.5"), 5);
    ASSERT_EQ(ConnectionFrom(printed, "127.0.0.6"), 6);
    // The players' own messages reached the server whole, the connect message included.
    EXPECT_THAT(ArrivedOn(printed, 1), AllOf(Contains("create player 00000102 \"Alpha\""),
                                             Contains("delete player 00000102"),
                                             Contains(StartsWith("message size=36 token=fab0:"))));
    EXPECT_THAT(ArrivedOn(printed, 3), Contains("create player 00000203 \"Bravo\""));
    EXPECT_THAT(ArrivedOn(printed, 4), AllOf(Contains("create player 00000304 \"Charlie\""),
                                             Contains("delete player 00000304")));
    EXPECT_THAT(ArrivedOn(printed, 5), AllOf(Contains("create player 00000405 \"Delta\""),
                                             Contains("delete player 00000405")));
    EXPECT_THAT(ArrivedOn(printed, 6), Contains("create player 00000506 \"Echo\""));

    // What the program said on its link, in order; the removal apart, below.
    std::vector<std::string> link = ArrivedOn(printed, 2);
    std::vector<std::string> chat;
    std::copy_if(link.begin(), link.end(), std::back_inserter(chat),
                 [](const std::string& line) { return line.starts_with("chat "); });
    std::vector<::testing::Matcher<std::string>> expected;
    for (uint32_t id : {alpha.id, bravo.id, charlie.id, delta.id, echo.id}) {
        for (const std::string& line : Greeting(id)) {
            expected.push_back(line);
        }
    }
    const std::string answers[] = {
        ChatLine(alpha.id, 1, 0, "Alpha selected Atlas Stock IS Tech"),
        ChatLine(alpha.id, 1, 0, "Alpha selected Atlas Variant (IS Tech)"),
        ChatLine(charlie.id, 1, 0, "Charlie selected Mad Cat Variant (Mixed Tech)", true),
        ChatLine(alpha.id, 1, 0, "Valid: Alpha: IS"),  // ~is; ~clan: nobody plays Clan alone
        ChatLine(charlie.id, 1, 0, "Violation: Charlie: Mixed"),  // ~mixed
        ChatLine(alpha.id, 1, 0, "Valid: Alpha: IS"),             // ~tech
        ChatLine(alpha.id, 1, 0, "Violation: Charlie: Mixed"),
        ChatLine(bravo.id, 1, 0, "Bye Bravo, read the rules.", true),
        ChatLine(bravo.id, 1, 0, "Illegal Jump Jets subsystem on 'Skyhook'", true),
        ChatLine(1, bravo.id, 0, "See ya later Bravo."),
        ChatLine(delta.id, 1, 0, "Delta selected Atlas Variant (IS Tech)"),
        ChatLine(echo.id, 1, 0, "Bye Echo, read the rules.", true),
        ChatLine(echo.id, 1, 0, "Illegal Jump Jets subsystem on 'Lowball'", true),
        ChatLine(1, echo.id, 0, "See ya later Echo."),
        ChatLine(charlie.id, 1, 0, "~version, ~time, ~commands"),  // ~commands
        ChatLine(charlie.id, 1, 0, "~tech, ~clan, ~is, ~mixed"),
        ChatLine(1, alpha.id, 7, kVersionLine)};  // ~version
    expected.insert(expected.end(), std::begin(answers), std::end(answers));
    // ~time, in the name of the player who joined last.
    expected.push_back(AllOf(StartsWith(ChatLine(echo.id, 1, 0, "")),
                             MatchesRegex(".*\\) " + kStampPattern + " [0-9]{4}")));
    EXPECT_THAT(chat, ElementsAreArray(expected)) << ReadWholeFile(dir / "standin.out");

    // The removals: two deletion messages after each farewell, the player's id and the one below
    // it, no earlier than the grace time of 5 seconds after the farewell. Bravo's and Echo's
    // grace may run out in the same second, and then either may come first.
    std::vector<std::string> deletions;
    std::copy_if(link.begin(), link.end(), std::back_inserter(deletions),
                 [](const std::string& line) { return line.starts_with("delete "); });
    const std::vector<std::string> bravoFirst = {"delete player 00000203", "delete player 00000202",
                                                 "delete player 00000506",
                                                 "delete player 00000505"};
    const std::vector<std::string> echoFirst = {"delete player 00000506", "delete player 00000505",
                                                "delete player 00000203", "delete player 00000202"};
    EXPECT_THAT(deletions,
                ::testing::AnyOf(ElementsAreArray(bravoFirst), ElementsAreArray(echoFirst)));
    for (const Joining* kicked : {&bravo, &echo}) {
        const auto farewellAt = std::find(
            link.begin(), link.end(),
            ChatLine(1, kicked->id, 0, "See ya later " + std::string(kicked->name) + "."));
        const auto deletedAt =
            std::find(link.begin(), link.end(), StringPrintf("delete player %08x", kicked->id));
        EXPECT_LT(farewellAt, deletedAt) << kicked->name;
    }
    const auto grace = std::chrono::duration<double>(removed.lastMissed - farewell.seenAt).count();
    // The farewell came by `seenAt` and the removal after `lastMissed`; whole seconds make the
    // grace at least 5 s, and the tolerance allows for the watch's own delays.
    EXPECT_GE(grace, 4.5) << "the removal came " << grace << " s after the farewell";

    // The console once the program runs, its log lines without their stamps.
    std::vector<std::string> running = Section(SplitLines(ReadWholeFile(console)),
                                               "Korvane is running.", "Korvane shutting down.");
    std::transform(running.begin(), running.end(), running.begin(), Unstamped);
    const std::string bravoLine = "00000203 \"Bravo\"  [Sky high] [127.0.0.3]: ";
    const std::string echoLine = "00000506 \"Echo\"  [Low flyer] [127.0.0.6]: ";
    // The file each kicked player's upload was collected in.
    auto collectedFile = [&](const char* id) {
        const std::regex collected("[0-9a-f]{8}\\." + std::string(id) + "\\.variant\\.mw4");
        std::vector<std::filesystem::path> files;
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            if (std::regex_match(entry.path().filename().string(), collected)) {
                files.push_back(entry.path());
            }
        }
        return files.size() == 1 ? files[0] : std::filesystem::path();
    };
    const std::filesystem::path bravoFile = collectedFile("00000203");
    const std::filesystem::path echoFile = collectedFile("00000506");
    ASSERT_FALSE(bravoFile.empty());
    ASSERT_FALSE(echoFile.empty());
    const std::string file = bravoFile.filename().string();
    const std::string file2 = echoFile.filename().string();
    EXPECT_THAT(
        running,
        ElementsAre("Waiting for connect traffic to determine the server port...",
                    "Server port " + portText + " detected (0001)",
                    "Connection to server 127.0.0.1 established",
                    "Analyzing traffic on server port " + portText + "...",
                    "00000102 User connected", "00000203 User connected", "00000304 User connected",
                    "00000405 User connected", "00000506 User connected",
                    "00000102 Alpha (Lone wolf) VALID", "00000102 Alpha (Lone wolf) VALID",
                    "00000304 Charlie (Clan Wolf) VALID", bravoLine + "JJ Subsystem: INVALID",
                    bravoLine + "Atlas config 'Skyhook' is INVALID: Illegal components",
                    bravoLine + "Illegal variant Atlas Skyhook written to file " + file, "",
                    "00000203 Bravo (Sky high) INVALID", "00000405 Delta (Night owl) VALID",
                    echoLine + "JJ Subsystem: INVALID",
                    echoLine + "Atlas config 'Lowball' is INVALID: Illegal components",
                    echoLine + "Illegal variant Atlas Lowball written to file " + file2, "",
                    "00000506 Echo (Low flyer) INVALID", MatchesRegex(kStampPattern + " [0-9]{4}"),
                    "00000102 User Alpha (Lone wolf) disconnected",
                    "00000304 User Charlie (Clan Wolf) disconnected",
                    "00000405 User Delta (Night owl) disconnected"))
        << ReadWholeFile(console);
    EXPECT_THAT(SplitLines(ReadWholeFile(console)), Not(Contains(HasSubstr("Unhandled"))));
    // The collected files are Bravo's and Echo's uploads, byte for byte.
    EXPECT_EQ(ReadWholeFile(bravoFile), std::string(skyhook.begin(), skyhook.end()));
    EXPECT_EQ(ReadWholeFile(echoFile), std::string(lowball.begin(), lowball.end()));

    // The log from the kick messages on: the port and the link, Bravo's and Echo's verdicts, the
    // shutdown.
    const std::vector<std::string> log = SplitLines(ReadWholeFile(dir / "Korvane.log"));
    std::vector<std::string> texts;
    std::transform(log.begin(), log.end(), std::back_inserter(texts), WithoutStamp);
    const auto loaded = std::find(texts.begin(), texts.end(), "1 custom kick messages loaded.");
    ASSERT_NE(loaded, texts.end()) << ReadWholeFile(dir / "Korvane.log");
    const std::string logBravo = "00000203 \"Bravo\" [Sky high] [127.0.0.3]: ";
    const std::string logEcho = "00000506 \"Echo\" [Low flyer] [127.0.0.6]: ";
    EXPECT_THAT(std::vector<std::string>(loaded + 1, texts.end()),
                ElementsAre("Server port " + portText + " detected (0001)",
                            "Connection to server 127.0.0.1 established",
                            logBravo + "JJ Subsystem: INVALID",
                            logBravo + "Atlas config 'Skyhook' is INVALID: Illegal components",
                            logBravo + "Illegal variant Atlas Skyhook written to file " + file, "",
                            logEcho + "JJ Subsystem: INVALID",
                            logEcho + "Atlas config 'Lowball' is INVALID: Illegal components",
                            logEcho + "Illegal variant Atlas Lowball written to file " + file2, "",
                            "Korvane shutting down.",
                            MatchesRegex("[0-9]+ packets received\\. [0-9]+ Packets lost"),
                            "Shutdown TCP/IP (0)", "Shutdown complete.", ""))
        << ReadWholeFile(dir / "Korvane.log");

    // The port filter passes every frame to the server port: each player's frames (the
    // handshake of those who came once it was in place, every message segment, the FIN of its
    // close) and the program's own. On loopback the kernel may count a frame both as it leaves
    // and as it arrives, so only a lower bound holds: every frame the players sent once the
    // filter was in place, counted once.
    std::smatch stats;
    const std::string logText = ReadWholeFile(dir / "Korvane.log");
    ASSERT_TRUE(std::regex_search(
        logText, stats, std::regex(": ([0-9]+) packets received\\. ([0-9]+) Packets lost\n")));
    const size_t playerFrames = handshakeFrames + dataSegments + closingFrames;
    EXPECT_GE(std::stoul(stats[1]), playerFrames) << logText;
    std::printf(
        "live session: the removal came %.2f s after the farewell; the players sent %zu "
        "frames to the server port after detection, the capture counted %s received and "
        "%s lost\n",
        grace, playerFrames, stats[1].str().c_str(), stats[2].str().c_str());
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace korvane
