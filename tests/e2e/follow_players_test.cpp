// The built program following players in a replayed capture: joining and leaving, finding the
// server port from the first connect message, the per-frame trace, messages split over two
// segments, and segments that carry TCP timestamp options.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/replayed_run.h"
#include "tests/support/standin_process.h"

namespace korvane {
namespace {

using korvane::testing::ChildProcess;
using korvane::testing::FreshDirectory;
using korvane::testing::LogStamp;
using korvane::testing::ReadWholeFile;
using korvane::testing::ReplayedRun;
using korvane::testing::SplitLines;
using korvane::testing::StandinProcess;
using ::testing::ElementsAre;
using namespace std::chrono_literals;

// The scenarios start at Tue Feb 03 2004 14:50:00 UTC; log stamps read the replayed clock.
constexpr const char* kBase = "base 1075819800\n";

// 26 payload bytes: the token at 2, the code word 1 at 24, a size word (0) that matches no
// message, so the frame is only ever held as a piece.
const std::string kCodeOneHex = "0000b0fa" + std::string(40, '0') + "0100";

// A whole system message of 36 bytes with command 1 but a token other than 0xFAB0.
const std::string kWrongTokenConnectHex =
    "2400b1fa" + std::string(32, '0') + "706c6179" + "0100" + std::string(20, '0');

std::string Replace(std::string text, const std::string& what, const std::string& with) {
    for (size_t at = text.find(what); at != std::string::npos;
         at = text.find(what, at + with.size())) {
        text.replace(at, what.size(), with);
    }
    return text;
}

// Every "%O" in a scenario becomes `options` (for example " tsopt"), so that one scenario can be
// replayed with and without header options.
std::string WithOptions(const std::string& scenario, const std::string& options) {
    return Replace(scenario, "%O", options);
}

// The console lines that tell of players joining and leaving.
std::vector<std::string> PlayerLines(const std::vector<std::string>& console) {
    static const std::regex player("[0-9a-f]{8} User (connected|.* \\(.*\\) disconnected)");
    std::vector<std::string> found;
    std::copy_if(console.begin(), console.end(), std::back_inserter(found),
                 [](const std::string& line) { return std::regex_match(line, player); });
    return found;
}

class FollowPlayersTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = FreshDirectory(std::string("follow-") + info->name());
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::filesystem::path dir_;
};

// Port given, no link needed.
const std::vector<std::string> kTestModeArgs = {"/test", "/port:2300", "/host:127.0.0.1"};

TEST_F(FollowPlayersTest, PlayersJoiningAndLeavingAreShownInOrder) {
    ReplayedRun run(dir_);
    ASSERT_TRUE(
        run.MakeCapture(std::string(kBase) +
                        "at +0.5 127.0.0.2:40001 > 127.0.0.1:2300 syn\n"
                        "at +0.6 127.0.0.2:40001 > 127.0.0.1:2300 connect\n"
                        "at +1.0 127.0.0.2:40001 > 127.0.0.1:2300 create id=2a name=Bob\n"
                        "at +1.5 127.0.0.3:40002 > 127.0.0.1:2300 connect\n"
                        "at +2.0 127.0.0.3:40002 > 127.0.0.1:2300 create id=63 name=Kit Fox\n"
                        // A deletion from an address nobody joined from says nothing.
                        "at +2.5 127.0.0.4:40003 > 127.0.0.1:2300 delete id=99\n"
                        // Other ports and other hosts are not the guarded server.
                        "at +3.0 127.0.0.5:40004 > 127.0.0.1:2301 create id=77 name=Port\n"
                        "at +3.2 127.0.0.5:40004 > 127.0.0.9:2300 create id=78 name=Host\n"
                        // The id in the deletion is not compared with the player's.
                        "at +4.0 127.0.0.3:40002 > 127.0.0.1:2300 delete id=1234\n"
                        // The player is gone by now: a second deletion says nothing.
                        "at +6.0 127.0.0.3:40002 > 127.0.0.1:2300 delete id=63\n"));
    ASSERT_EQ(run.Replay(kTestModeArgs), 0) << ReadWholeFile(run.dir() / "korvane.out");

    EXPECT_THAT(run.Running(), ElementsAre("Analyzing traffic on server port 2300...",
                                           testing::OneWayCaptureWarning(0),
                                           "0000002a User connected", "00000063 User connected",
                                           "00000063 User Kit Fox (Unknown) disconnected"));
    // Players coming and going are the console's business, not the log's.
    EXPECT_THAT(run.LogWhileRunning(), ElementsAre(testing::OneWayCaptureWarning(0)));
}

TEST_F(FollowPlayersTest, AConnectionSpeaksOnlyInItsOwnPlayerId) {
    ReplayedRun run(dir_);
    ASSERT_TRUE(run.MakeCapture(
        std::string(kBase) +
        "at +1.0 127.0.0.2:40001 > 127.0.0.1:2300 create id=2a name=Bob\n"
        // A game message between players (not to the host) on the same connection carries
        // another sender id: the connection is Bob's, so it is ignored and warned of.
        "at +2.0 127.0.0.2:40001 > 127.0.0.1:2300 game sender=2b receiver=5 type=7 hex=0102\n"
        "at +3.0 127.0.0.2:40001 > 127.0.0.1:2300 delete id=2a\n"
        // Coming back after the record was removed starts afresh.
        "at +5.0 127.0.0.2:40005 > 127.0.0.1:2300 create id=2c name=Bobby\n"
        "at +6.0 127.0.0.2:40005 > 127.0.0.1:2300 delete id=2c\n"));
    ASSERT_EQ(run.Replay(kTestModeArgs), 0) << ReadWholeFile(run.dir() / "korvane.out");

    EXPECT_THAT(run.Running(),
                ElementsAre("Analyzing traffic on server port 2300...", "0000002a User connected",
                            "Tue Feb 03 14:50:02: Warning: 127.0.0.2:40001, bound to player "
                            "0000002a, sent a message as player 0000002b; ignored",
                            "Tue Feb 03 14:50:02: Warning: 1 messages in a player id not their "
                            "connection's ignored so far",
                            "0000002a User Bob (Unknown) disconnected", "0000002c User connected",
                            "0000002c User Bobby (Unknown) disconnected"));
}

// While detecting, one scenario with the server port in it, with and without TCP timestamp
// options on every segment.
std::string DetectionScenario(int port, const std::string& options) {
    const std::string scenario =
        std::string(kBase) +
        "at +0.5 127.0.0.2:40001 > 127.0.0.1:@P syn%O\n"
        // Before the port is known nothing is decoded, although the whole message is captured.
        "at +0.6 127.0.0.2:40001 > 127.0.0.1:@P create id=11%O name=Early\n"
        // Code word 1 without the token, and the token without code word 1: no connect message.
        "at +0.8 127.0.0.3:40002 > 127.0.0.1:@P raw%O hex=" +
        kWrongTokenConnectHex +
        "\n"
        "at +1.0 127.0.0.3:40002 > 127.0.0.1:@P game sender=33 receiver=2 type=7%O\n"
        "at +2.0 127.0.0.2:40001 > 127.0.0.1:@P connect%O\n"
        "at +2.5 127.0.0.2:40001 > 127.0.0.1:@P create id=2a%O name=Bob\n"
        "at +3.0 127.0.0.3:40002 > 127.0.0.1:@P create id=63%O name=Kit Fox\n"
        // Once the port is known, connect messages to other ports are not looked at.
        "at +3.5 127.0.0.4:40003 > 127.0.0.1:@Q connect%O\n"
        "at +4.0 127.0.0.2:40001 > 127.0.0.1:@P delete id=2a%O\n";
    return Replace(Replace(WithOptions(scenario, options), "@P", std::to_string(port)), "@Q",
                   std::to_string(port + 1));
}

TEST_F(FollowPlayersTest, TheFirstConnectMessageRevealsTheServerPort) {
    for (const std::string options : {"", " tsopt"}) {
        SCOPED_TRACE("segment options: '" + options + "'");
        ReplayedRun run(dir_ / (options.empty() ? "plain" : "tsopt"));
        StandinProcess server(run.dir());
        const int port = server.Port();
        ASSERT_GT(port, 0);
        const std::string portText = std::to_string(port);
        ASSERT_TRUE(run.MakeCapture(DetectionScenario(port, options)));
        ASSERT_EQ(run.Replay({"/host:127.0.0.1"}), 0) << ReadWholeFile(run.dir() / "korvane.out");

        const std::vector<std::string> detected = {
            LogStamp(2) + "Server port " + portText + " detected (0001)",
            LogStamp(2) + "Connection to server 127.0.0.1 established"};
        EXPECT_EQ(run.LogWhileRunning(), detected);

        const std::vector<std::string> console = run.Console();
        EXPECT_THAT(console, ::testing::Contains("Command line: korvane /adapter:-1"));
        std::vector<std::string> expected = {
            "Waiting for connect traffic to determine the server port..."};
        expected.insert(expected.end(), detected.begin(), detected.end());
        for (const std::string& line :
             {"Analyzing traffic on server port " + portText + "...",
              std::string("0000002a User connected"), std::string("00000063 User connected"),
              std::string("0000002a User Bob (Unknown) disconnected")}) {
            expected.push_back(line);
        }
        EXPECT_EQ(run.Running(), expected);

        // The server saw the program's link, once, and nothing sent on it.
        const std::vector<std::string> received = server.Stop();
        const std::regex connection("standin: connection 1 from 127\\.0\\.0\\.1:[0-9]+");
        EXPECT_EQ(
            std::count_if(received.begin(), received.end(),
                          [&](const std::string& l) { return std::regex_match(l, connection); }),
            1)
            << ReadWholeFile(run.dir() / "standin.out");
        EXPECT_THAT(received, ::testing::Contains("standin: connection 1 closed after 0 bytes"));
        EXPECT_THAT(
            received,
            ::testing::Not(::testing::Contains(::testing::HasSubstr("standin: connection 2"))));
    }
}

TEST_F(FollowPlayersTest, DetectionGoesOnAfterTheServerRefusedTheLink) {
    ReplayedRun run(dir_);
    int deadPort = 0;
    {
        std::filesystem::create_directories(dir_ / "gone");
        StandinProcess gone(dir_ / "gone");
        deadPort = gone.Port();
        gone.Stop();  // nobody listens there any more
    }
    ASSERT_GT(deadPort, 0);
    StandinProcess server(run.dir());
    const int port = server.Port();
    ASSERT_GT(port, 0);
    const std::string portText = std::to_string(port);
    const std::string deadText = std::to_string(deadPort);
    ASSERT_TRUE(run.MakeCapture(
        Replace(Replace(std::string(kBase) +
                            "at +1.0 127.0.0.3:40002 > 127.0.0.1:@Q connect\n"
                            // Still detecting: not decoded.
                            "at +1.5 127.0.0.2:40001 > 127.0.0.1:@P create id=12 name=Still\n"
                            "at +2.0 127.0.0.2:40001 > 127.0.0.1:@P connect\n"
                            "at +2.5 127.0.0.2:40001 > 127.0.0.1:@P create id=2a name=Bob\n"
                            // The port first detected is not followed.
                            "at +3.0 127.0.0.3:40002 > 127.0.0.1:@Q create id=63 name=Gone\n",
                        "@P", portText),
                "@Q", deadText)));
    ASSERT_EQ(run.Replay({"/host:127.0.0.1"}), 0) << ReadWholeFile(run.dir() / "korvane.out");

    EXPECT_THAT(run.LogWhileRunning(),
                ElementsAre(LogStamp(1) + "Server port " + deadText + " detected (0001)",
                            LogStamp(1) + "could not connect to server",
                            LogStamp(2) + "Server port " + portText + " detected (0001)",
                            LogStamp(2) + "Connection to server 127.0.0.1 established"));
    const std::vector<std::string> running = run.Running();
    EXPECT_EQ(std::count(running.begin(), running.end(),
                         "Analyzing traffic on server port " + portText + "..."),
              1);
    EXPECT_THAT(running, ::testing::Not(::testing::Contains("Analyzing traffic on server port " +
                                                            deadText + "...")));
    EXPECT_THAT(PlayerLines(running), ElementsAre("0000002a User connected"));
    server.Stop();
}

TEST_F(FollowPlayersTest, AGameMessageToTheHostAlsoRevealsThePortAndIsFollowed) {
    ReplayedRun run(dir_);
    StandinProcess server(run.dir());
    const int port = server.Port();
    ASSERT_GT(port, 0);
    const std::string portText = std::to_string(port);
    // A game message to the host has the receiver's low half, 1, where a system message has its
    // command. The frame that revealed the port is followed like any later one: the player's
    // record takes the sender id from it, which the deletion then shows.
    ASSERT_TRUE(run.MakeCapture(Replace(
        std::string(kBase) +
            "at +1.0 127.0.0.4:40004 > 127.0.0.1:@P game sender=4d receiver=1 type=7 hex=00\n"
            "at +2.0 127.0.0.4:40004 > 127.0.0.1:@P delete id=4d\n",
        "@P", portText)));
    ASSERT_EQ(run.Replay({"/host:127.0.0.1"}), 0) << ReadWholeFile(run.dir() / "korvane.out");

    EXPECT_THAT(run.LogWhileRunning(),
                ElementsAre(LogStamp(1) + "Server port " + portText + " detected (0001)",
                            LogStamp(1) + "Connection to server 127.0.0.1 established"));
    EXPECT_THAT(PlayerLines(run.Running()),
                ElementsAre("0000004d User 0000004d (Unknown) disconnected"));
    server.Stop();
}

TEST_F(FollowPlayersTest, DebugTraceShowsEveryFrameLongerThanSixtyBytes) {
    ReplayedRun run(dir_);
    const std::string& codeOne = kCodeOneHex;
    ASSERT_TRUE(
        run.MakeCapture(std::string(kBase) + "at +0.5 127.0.0.5:1234 > 127.0.0.1:2300 syn\n" +
                        "at +1.0 127.0.0.5:1234 > 127.0.0.1:2300 raw hex=" + codeOne +
                        "\n"
                        // 60 bytes: nothing. 61 and 79 bytes: too short to hold the code word.
                        "at +1.5 127.0.0.6:1235 > 127.0.0.1:2300 raw hex=0000b0fa0000\n"
                        "at +2.0 127.0.0.6:1235 > 127.0.0.1:2300 raw hex=0000b0fa000000\n"
                        "at +2.5 127.0.0.6:1235 > 127.0.0.1:2300 raw hex=" +
                        codeOne.substr(0, 50) +
                        "\n"
                        // Traced before the address is looked at.
                        "at +3.0 127.0.0.6:1235 > 127.0.0.9:2300 raw hex=" +
                        codeOne +
                        "\n"
                        // The length is the frame's without its 12 bytes of TCP options.
                        "at +3.5 127.0.0.5:1234 > 127.0.0.1:2300 raw tsopt hex=" +
                        codeOne +
                        "\n"
                        // 54 + 104 bytes, code word 8; the trace comes before the player line.
                        "at +4.0 127.0.0.7:1236 > 127.0.0.1:2300 create id=70 name=Ann\n"
                        // The server's SYN-ACK is 54 bytes without its options: not traced.
                        "at +4.5 127.0.0.1:2300 > 127.0.0.8:1237 synack tsopt\n"
                        // The first fragment is traced as captured, the second (no ports in
                        // it) and the datagram they make are not.
                        "at +5.0 127.0.0.8:1237 > 127.0.0.1:2300 create id=71 frag=0:96 "
                        "name=Bea\n"));
    std::vector<std::string> args = kTestModeArgs;
    args.push_back("/debug");
    ASSERT_EQ(run.Replay(args), 0) << ReadWholeFile(run.dir() / "korvane.out");

    EXPECT_THAT(run.Running(), ElementsAre("Analyzing traffic on server port 2300...",
                                           "127.0.0.5.1234 -> 127.0.0.1.2300 (code=0001) len=80",
                                           testing::OneWayCaptureWarning(1),
                                           "127.0.0.6.1235 -> 127.0.0.1.2300 (code=0000) len=61",
                                           "127.0.0.6.1235 -> 127.0.0.1.2300 (code=0000) len=79",
                                           "127.0.0.6.1235 -> 127.0.0.9.2300 (code=0001) len=80",
                                           "127.0.0.5.1234 -> 127.0.0.1.2300 (code=0001) len=80",
                                           "127.0.0.7.1236 -> 127.0.0.1.2300 (code=0008) len=158",
                                           "00000070 User connected",
                                           "127.0.0.8.1237 -> 127.0.0.1.2300 (code=0008) len=130",
                                           "00000071 User connected"));
    // The trace is the console's alone.
    EXPECT_THAT(run.LogWhileRunning(), ElementsAre(testing::OneWayCaptureWarning(1)));

    // Without the switch the same run traces nothing.
    ASSERT_EQ(run.Replay(kTestModeArgs), 0);
    EXPECT_THAT(run.Running(), ElementsAre("Analyzing traffic on server port 2300...",
                                           testing::OneWayCaptureWarning(1),
                                           "00000070 User connected", "00000071 User connected"));
}

TEST_F(FollowPlayersTest, AMessageSplitOverTwoSegmentsIsJoinedOnce) {
    ReplayedRun run(dir_);
    ASSERT_TRUE(run.MakeCapture(
        std::string(kBase) +
        // In order: the piece with the message's start is held, the rest completes it.
        "at +1.0 127.0.0.2:40001 > 127.0.0.1:2300 create id=2a split=40 name=Bob\n"
        // Reversed: the later piece comes first. It is held only because it begins like a
        // message (bytes 2 and 3 of it, the id's high half, are B0 FA); the start then joins
        // it, taking the lead.
        "at +2.0 127.0.0.3:40002 > 127.0.0.1:2300 create id=fab00063 split=32 reverse "
        "name=Kit Fox\n"
        // Reversed with a later piece that does not begin like a message: it is held until the
        // start comes, which it follows by its sequence number.
        "at +3.0 127.0.0.4:40003 > 127.0.0.1:2300 create id=44 split=40 reverse name=Lost\n"
        // The connection's next message is handled as well.
        "at +4.0 127.0.0.4:40003 > 127.0.0.1:2300 create id=45 name=Found\n"
        // The names come from the second pieces: the joined messages are whole.
        "at +5.0 127.0.0.2:40001 > 127.0.0.1:2300 delete id=2a split=20\n"
        "at +6.0 127.0.0.3:40002 > 127.0.0.1:2300 delete id=fab00063\n"));
    ASSERT_EQ(run.Replay(kTestModeArgs), 0) << ReadWholeFile(run.dir() / "korvane.out");

    EXPECT_THAT(run.Running(),
                ElementsAre("Analyzing traffic on server port 2300...", "0000002a User connected",
                            "fab00063 User connected", "00000044 User connected",
                            "00000045 User connected", "0000002a User Bob (Unknown) disconnected",
                            "fab00063 User Kit Fox (Unknown) disconnected"));
}

TEST_F(FollowPlayersTest, SegmentsWithTimestampOptionsReadLikeSegmentsWithout) {
    const std::string scenario =
        std::string(kBase) +
        "at +0.5 127.0.0.2:40001 > 127.0.0.1:2300 syn%O\n"
        "at +0.6 127.0.0.2:40001 > 127.0.0.1:2300 connect%O\n"
        "at +1.0 127.0.0.2:40001 > 127.0.0.1:2300 create id=2a%O name=Bob\n"
        "at +1.5 127.0.0.3:40002 > 127.0.0.1:2300 create id=63 split=50%O name=Kit Fox\n"
        "at +2.0 127.0.0.4:40003 > 127.0.0.1:2300 create id=fab00044 split=32 reverse%O "
        "name=Backwards\n"
        "at +2.5 127.0.0.2:40001 > 127.0.0.1:2300 game sender=2a receiver=1 type=7%O hex=0102\n"
        "at +3.0 127.0.0.3:40002 > 127.0.0.1:2300 delete id=63 split=20%O\n"
        "at +3.5 127.0.0.2:40001 > 127.0.0.1:2300 delete id=2a%O\n";
    std::vector<std::string> args = kTestModeArgs;
    args.push_back("/debug");

    ReplayedRun plain(dir_ / "plain");
    ASSERT_TRUE(plain.MakeCapture(WithOptions(scenario, "")));
    ASSERT_EQ(plain.Replay(args), 0) << ReadWholeFile(plain.dir() / "korvane.out");
    ReplayedRun options(dir_ / "tsopt");
    ASSERT_TRUE(options.MakeCapture(WithOptions(scenario, " tsopt")));
    ASSERT_EQ(options.Replay(args), 0) << ReadWholeFile(options.dir() / "korvane.out");

    // The capture files differ (12 more bytes in every segment) ...
    EXPECT_NE(ReadWholeFile(plain.dir() / "run.pcap"), ReadWholeFile(options.dir() / "run.pcap"));
    // ... the program's view of them does not: traces, players, statistics.
    const auto fromRunning = [](const std::vector<std::string>& console) {
        auto start = std::find(console.begin(), console.end(), "Korvane is running.");
        return std::vector<std::string>(start, console.end());
    };
    EXPECT_EQ(fromRunning(options.Console()), fromRunning(plain.Console()));
    EXPECT_THAT(
        PlayerLines(options.Console()),
        ElementsAre("0000002a User connected", "00000063 User connected", "fab00044 User connected",
                    "00000063 User Kit Fox (Unknown) disconnected",
                    "0000002a User Bob (Unknown) disconnected"));
}

}  // namespace
}  // namespace korvane
