// The built program, run as an operator runs it: replaying a generated capture against the
// stand-in game server on the loopback address.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/standin_process.h"

namespace korvane {
namespace {

using korvane::testing::ChildProcess;
using korvane::testing::FreshDirectory;
using korvane::testing::ReadWholeFile;
using korvane::testing::SplitLines;
using korvane::testing::StandinProcess;
using namespace std::chrono_literals;

class ReplayRunTest : public ::testing::Test {
  protected:
    void SetUp() override { dir_ = FreshDirectory("replay-run"); }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // Writes a scenario and makes a capture file of it with the capture-file maker.
    std::string MakeCapture(const std::string& scenario) {
        const auto scenarioFile = dir_ / "run.scenario";
        std::ofstream(scenarioFile) << scenario;
        const std::string capture = (dir_ / "run.pcap").string();
        ChildProcess mkcap(KORVANE_MKCAP_EXE, {scenarioFile.string(), capture},
                           ChildProcess::In(dir_, dir_ / "mkcap.out"));
        EXPECT_EQ(mkcap.Wait(30s), 0) << ReadWholeFile(dir_ / "mkcap.out");
        return capture;
    }

    // Runs korvane in the test's directory; returns its exit status and console lines.
    std::pair<std::optional<int>, std::vector<std::string>> RunKorvane(
        const std::vector<std::string>& args) {
        const auto out = dir_ / "korvane.out";
        ChildProcess korvane(KORVANE_EXE, args, ChildProcess::In(dir_, out));
        std::optional<int> status = korvane.Wait(60s);
        return {status, SplitLines(ReadWholeFile(out))};
    }

    std::filesystem::path dir_;
};

std::string Scenario(int port) {
    const std::string server = "127.0.0.1:" + std::to_string(port);
    return "base 1075819800\n"
           "at +0.5 127.0.0.2:40001 > " +
           server +
           " connect\n"
           "at +1.0 127.0.0.2:40001 > " +
           server +
           " create id=2a name=Bob\n"
           "at +2.0 127.0.0.3:40002 > 127.0.0.1:9 raw hex=0102030405\n"
           "at +4.0 127.0.0.2:40001 > " +
           server +
           " chat sender=2a receiver=1 text=hello\n"
           "at +6.5 127.0.0.2:40001 > " +
           server + " delete id=2a\n";
}

TEST_F(ReplayRunTest, LogAndConsoleShowTheRunLineByLine) {
    StandinProcess server(dir_);
    const int port = server.Port();
    ASSERT_GT(port, 0);
    const std::string capture = MakeCapture(Scenario(port));
    const std::string portText = std::to_string(port);
    const std::vector<std::string> args = {"/replay:" + capture, "/host:127.0.0.1",
                                           "/port:" + portText};

    auto [status, console] = RunKorvane(args);
    ASSERT_EQ(status, 0);
    const std::string echo =
        "Command line: korvane /replay:" + capture + " /host:127.0.0.1 /port:" + portText;
    const std::string t0 = "Tue Feb 03 14:50:00: ";
    // Capture time: the first frame at 14:50:00.5, the last at 14:50:06.5; one more pass
    // steps the clock one second past it.
    const std::string tEnd = "Tue Feb 03 14:50:07: ";
    const std::vector<std::string> expectedLog = {
        t0 + "Korvane 2.1 (beta.1) Feb 10 2004 14:49:49 (SECURE)",
        t0 + "Build Feb 10 2004 14:49:49",
        t0 + "Packet.dll library version:" + pcap_lib_version(),
        t0 + "Korvane starting up",
        t0 + "TCP/IP Started (0)",
        t0 + "POSIX sockets Running",
        t0 + echo,
        t0 + "Connection to server 127.0.0.1 established",
        tEnd + "Korvane shutting down.",
        tEnd + "5 packets received. 0 Packets lost",
        tEnd + "Shutdown TCP/IP (0)",
        tEnd + "Shutdown complete.",
        "",
    };
    const std::vector<std::string> log = SplitLines(ReadWholeFile(dir_ / "Korvane.log"));
    EXPECT_EQ(log, expectedLog);

    std::vector<std::string> expectedConsole(expectedLog.begin(), expectedLog.begin() + 7);
    for (const char* line :
         {"Replaying capture file ", "", "====================================================",
          "Mercs IP: 127.0.0.1", "Command line: korvane /port:"}) {
        expectedConsole.push_back(line);
    }
    expectedConsole[7] += capture;
    expectedConsole[11] += portText + " /adapter:-1 /host:127.0.0.1";
    expectedConsole.push_back(expectedLog[7]);
    for (const char* line : {"", "====================================================",
                             "Press <Escape> anytime to exit.", "Korvane is running."}) {
        expectedConsole.push_back(line);
    }
    expectedConsole.push_back("Analyzing traffic on server port " + portText + "...");
    expectedConsole.push_back("0000002a User connected");
    expectedConsole.push_back("0000002a User Bob (Unknown) disconnected");
    expectedConsole.insert(expectedConsole.end(), expectedLog.begin() + 8, expectedLog.end());
    EXPECT_EQ(console, expectedConsole);

    // A second run appends to the same log.
    auto [again, console2] = RunKorvane(args);
    ASSERT_EQ(again, 0);
    const std::vector<std::string> both = SplitLines(ReadWholeFile(dir_ / "Korvane.log"));
    ASSERT_EQ(both.size(), 2 * expectedLog.size());
    EXPECT_TRUE(std::equal(expectedLog.begin(), expectedLog.end(), both.begin()));
    EXPECT_TRUE(std::equal(expectedLog.begin(), expectedLog.end(),
                           both.begin() + static_cast<long>(expectedLog.size())));

    // The server saw the program's link come and go, twice, and nothing written on it yet.
    const std::vector<std::string> received = server.Stop();
    const std::regex connection("standin: connection [12] from 127\\.0\\.0\\.1:[0-9]+");
    const std::regex closed("standin: connection [12] closed after 0 bytes");
    EXPECT_EQ(std::count_if(received.begin(), received.end(),
                            [&](const std::string& l) { return std::regex_match(l, connection); }),
              2);
    EXPECT_EQ(std::count_if(received.begin(), received.end(),
                            [&](const std::string& l) { return std::regex_match(l, closed); }),
              2);
}

TEST_F(ReplayRunTest, MissingServerEndsTheRunWithFailure) {
    StandinProcess server(dir_);
    const int port = server.Port();
    ASSERT_GT(port, 0);
    server.Stop();  // nobody listens there any more
    const std::string capture = MakeCapture(Scenario(port));
    auto [status, console] =
        RunKorvane({"/replay:" + capture, "/host:127.0.0.1", "/port:" + std::to_string(port)});
    EXPECT_EQ(status, 255);
    ASSERT_GE(console.size(), 2u);
    EXPECT_EQ(console[console.size() - 2], "Tue Feb 03 14:50:00: could not connect to server");
    EXPECT_EQ(console.back(), "Could not connect to server.");
}

TEST_F(ReplayRunTest, TestModeRunsWithoutAServer) {
    const std::string capture = MakeCapture(Scenario(2300));
    auto [status, console] =
        RunKorvane({"/replay:" + capture, "/test", "/port:2300", "/host:127.0.0.1"});
    ASSERT_EQ(status, 0);
    const std::string log = ReadWholeFile(dir_ / "Korvane.log");
    EXPECT_THAT(log, ::testing::Not(::testing::HasSubstr("Connection to server")));
    EXPECT_THAT(log, ::testing::HasSubstr("5 packets received. 0 Packets lost"));
}

TEST_F(ReplayRunTest, KickMessagesAreLoadedRightAfterTheCommandLine) {
    const std::string capture = MakeCapture(Scenario(2300));
    std::ofstream(dir_ / "Korvane.flunk", std::ios::binary)
        << "Kick messages of this server\r\n@%s, read the rules\r\n@Bye %s\r\n@\r\n";
    auto [status, console] =
        RunKorvane({"/replay:" + capture, "/test", "/port:2300", "/host:127.0.0.1"});
    ASSERT_EQ(status, 0);
    const std::vector<std::string> log = SplitLines(ReadWholeFile(dir_ / "Korvane.log"));
    ASSERT_GE(log.size(), 8u);
    EXPECT_THAT(log[6], ::testing::EndsWith(": Command line: korvane /replay:" + capture +
                                            " /test /port:2300 /host:127.0.0.1"));
    EXPECT_EQ(log[7], "Tue Feb 03 14:50:00: 3 custom kick messages loaded.");
}

TEST_F(ReplayRunTest, UsageNeedsNoLogAndNoNetwork) {
    auto [status, console] = RunKorvane({"/?"});
    ASSERT_EQ(status, 0);
    ASSERT_FALSE(console.empty());
    EXPECT_EQ(console.front(), "Syntax: korvane [<switches>]");
    EXPECT_FALSE(std::filesystem::exists(dir_ / "Korvane.log"));
}

}  // namespace
}  // namespace korvane
