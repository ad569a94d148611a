// The guard as its service runs it: as an unprivileged user holding the two capture
// capabilities and nothing else, its log rotated by the shipped logrotate rules while players
// come and go, and stopped with SIGTERM. Needs root to hand out the capabilities and to capture;
// skipped with the reason printed elsewhere.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/live_players.h"
#include "tests/support/loopback_adapter.h"
#include "tests/support/standin_process.h"
#include "tests/tools/variant_test_support.h"
#include "tools/session_builder.h"
#include "tools/variant_builder.h"

namespace korvane {
namespace {

using korvane::testing::ChildProcess;
using korvane::testing::FindProgram;
using korvane::testing::FreshDirectory;
using korvane::testing::IsLogLine;
using korvane::testing::LoopbackAdapterNumber;
using korvane::testing::Player;
using korvane::testing::ReadWholeFile;
using korvane::testing::SplitLines;
using korvane::testing::WaitForText;
using namespace std::chrono_literals;

constexpr uid_t kNobody = 65534;
constexpr uint32_t kAtlasVariant = 958 * 65536 + 1;  // the variant chassis id, 03be0001
constexpr uint16_t kJumpJets = 815;                  // a subsystem the Atlas may not carry

// The shipped rotation rules, aimed at the log and the event stream in `dir` and signalling `pid`
// itself, since no systemd runs here to deliver the signal for them.
std::string RotationRules(const std::filesystem::path& dir, pid_t pid) {
    std::string rules =
        ReadWholeFile(std::filesystem::path(KORVANE_SOURCE_DIR) / "dist" / "korvane.logrotate");
    rules = std::regex_replace(rules, std::regex("/var/lib/korvane/"), dir.string() + "/");
    return std::regex_replace(rules, std::regex("systemctl kill [^\n]*"),
                              "kill -HUP " + std::to_string(pid));
}

// The log lines of the console, in the file's form (the console's player form has one blank
// more before the first bracket).
std::vector<std::string> LogLinesOfConsole(const std::string& console) {
    std::vector<std::string> lines;
    for (std::string line : SplitLines(console)) {
        if (IsLogLine(line)) {
            lines.push_back(std::regex_replace(line, std::regex("\"  \\["), "\" ["));
        }
    }
    return lines;
}

TEST(LiveService, RunsWithoutRootAndLosesNoLineWhenTheLogIsRotated) {
    std::string why;
    if (LoopbackAdapterNumber(why) == 0) {
        GTEST_SKIP() << "Skipped: " << why;
    }
    const std::string setpriv = FindProgram("setpriv");
    const std::string logrotate = FindProgram("logrotate");
    if (setpriv.empty() || logrotate.empty()) {
        GTEST_SKIP() << "Skipped: setpriv and logrotate are needed (util-linux, logrotate)";
    }
    const auto dir = FreshDirectory("live-service");
    ASSERT_EQ(::chown(dir.c_str(), kNobody, kNobody), 0);
    const auto console = dir / "korvane.out";
    const auto log = dir / "Korvane.log";
    korvane::testing::StandinProcess server(dir);
    const int port = server.Port();
    ASSERT_GT(port, 0);

    // As the service unit starts it: another user, the capture capabilities only, the adapter
    // named as the switches file names it.
    ChildProcess korvane(
        setpriv,
        {"--reuid=" + std::to_string(kNobody), "--regid=" + std::to_string(kNobody),
         "--clear-groups", "--inh-caps=-all,+net_raw,+net_admin",
         "--ambient-caps=-all,+net_raw,+net_admin", "--bounding-set=-all,+net_raw,+net_admin",
         "--no-new-privs", KORVANE_EXE, "/adapter:lo", "/host:127.0.0.1", "/events:events.jsonl"},
        ChildProcess::In(dir, console));
    ASSERT_TRUE(
        WaitForText(console, "Waiting for connect traffic to determine the server port...\n", 20s))
        << ReadWholeFile(console);

    Player alpha(0x7F000002, port);
    ASSERT_TRUE(alpha.connected());
    ASSERT_TRUE(alpha.Send(tools::BuildConnectMessage(0x0a0b0c01)));
    ASSERT_TRUE(WaitForText(console, "Analyzing traffic on server port", 10s));
    ASSERT_TRUE(alpha.Send(tools::BuildCreationMessage(0x0a0b0c01, std::string_view("Alpha"))));
    ASSERT_TRUE(WaitForText(console, "0a0b0c01 User connected\n", 10s)) << ReadWholeFile(console);

    // The rotation renames the log, then the guard begins a new one.
    const auto rules = dir / "korvane.logrotate";
    std::ofstream(rules) << RotationRules(dir, korvane.pid());
    ChildProcess rotation(logrotate,
                          {"--force", "--state", (dir / "rotation.state").string(), rules.string()},
                          ChildProcess::In(dir, dir / "logrotate.out"));
    ASSERT_EQ(rotation.Wait(20s), 0) << ReadWholeFile(dir / "logrotate.out");
    ASSERT_TRUE(WaitForText(log, "Log file reopened\n", 10s)) << ReadWholeFile(console);

    // A player joins after the rotation and uploads a variant the guard refuses: its lines go
    // to the new file.
    Player bravo(0x7F000003, port);
    ASSERT_TRUE(bravo.connected());
    ASSERT_TRUE(bravo.Send(tools::BuildCreationMessage(0x0a0b0c02, std::string_view("Bravo"))));
    for (const auto& piece : tools::UploadMessages(
             0x0a0b0c02, 1,
             tools::BuildVariant(tools::Variant(kAtlasVariant, {{kJumpJets, 108}}, "Skyhook")))) {
        ASSERT_TRUE(bravo.Send(piece));
    }
    ASSERT_TRUE(WaitForText(log, "is INVALID: Illegal components\n", 10s))
        << ReadWholeFile(console);
    ASSERT_TRUE(alpha.Send(tools::BuildDeletionMessage(0x0a0b0c01)));
    ASSERT_TRUE(WaitForText(console, "0a0b0c01 User Alpha (Unknown) disconnected\n", 10s))
        << ReadWholeFile(console);

    korvane.Terminate();
    ASSERT_EQ(korvane.Wait(20s), 0) << ReadWholeFile(console);

    // The guard wrote as the other user; the renamed file holds the lines up to the rotation,
    // the new one the rest, the shutdown included; together they are every line the console
    // showed, each once and in order.
    struct stat owner {};
    ASSERT_EQ(::stat(log.c_str(), &owner), 0);
    EXPECT_EQ(owner.st_uid, kNobody);
    const std::string before = ReadWholeFile(dir / "Korvane.log.1");
    const std::string after = ReadWholeFile(log);
    EXPECT_THAT(before, ::testing::HasSubstr("Connection to server 127.0.0.1 established\n"));
    EXPECT_THAT(before, ::testing::Not(::testing::HasSubstr("Bravo")));
    EXPECT_THAT(SplitLines(after).front(), ::testing::EndsWith(": Log file reopened"));
    EXPECT_THAT(after,
                ::testing::HasSubstr("\"Bravo\" [Unknown] [127.0.0.3]: JJ Subsystem: INVALID\n"));
    EXPECT_THAT(after, ::testing::HasSubstr("Korvane shutting down.\n"));
    EXPECT_THAT(after, ::testing::HasSubstr("Shutdown complete.\n"));
    std::vector<std::string> logged = SplitLines(before + after);
    std::erase(logged, std::string());
    EXPECT_EQ(logged, LogLinesOfConsole(ReadWholeFile(console)));
    // The event stream was rotated with the log: the start and Alpha's joining before, Bravo's
    // verdict and the shutdown after.
    const std::string eventsBefore = ReadWholeFile(dir / "events.jsonl.1");
    const std::string eventsAfter = ReadWholeFile(dir / "events.jsonl");
    EXPECT_THAT(eventsBefore, ::testing::HasSubstr(R"("event":"start")"));
    EXPECT_THAT(eventsBefore,
                ::testing::HasSubstr(R"("event":"player_joined","address":"127.0.0.2")"));
    EXPECT_THAT(eventsBefore, ::testing::Not(::testing::HasSubstr("Bravo")));
    EXPECT_THAT(eventsAfter, ::testing::HasSubstr(R"("event":"verdict","address":"127.0.0.3")"));
    EXPECT_THAT(SplitLines(eventsAfter).back(), ::testing::HasSubstr(R"("event":"shutdown")"));
    alpha.Close();
    bravo.Close();
    server.Stop();
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace korvane
