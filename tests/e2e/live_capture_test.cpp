// The built program capturing real traffic on the loopback interface. Needs the right to
// capture (root); skipped with the reason printed where it is not given.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/loopback_adapter.h"
#include "tests/support/standin_process.h"

namespace korvane {
namespace {

using korvane::testing::ChildProcess;
using korvane::testing::FreshDirectory;
using korvane::testing::LoopbackAdapterNumber;
using korvane::testing::ReadWholeFile;
using namespace std::chrono_literals;

// A player stand-in: connects to the server and sends `count` small messages, each its own
// TCP segment.
void SendPlayerTraffic(int port, int count) {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(0x7F000002);  // 127.0.0.2, another loopback address
    ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(0x7F000001);
    ASSERT_EQ(::connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    const uint8_t message[8] = {8, 0, 0xB0, 0xFA, 0, 0, 0, 0};
    for (int i = 0; i < count; ++i) {
        ASSERT_EQ(::send(s, message, sizeof message, MSG_NOSIGNAL), 8);
        std::this_thread::sleep_for(50ms);
    }
    ::close(s);
}

TEST(LiveCapture, CountsRealTrafficToTheServerOnLoopback) {
    std::string why;
    const int adapter = LoopbackAdapterNumber(why);
    if (adapter == 0) {
        GTEST_SKIP() << "Skipped: " << why;
    }
    const auto dir = FreshDirectory("live-capture");
    korvane::testing::StandinProcess server(dir, {"--quiet-stream"});
    const int port = server.Port();
    ASSERT_GT(port, 0);

    ChildProcess::Options options = ChildProcess::In(dir, dir / "korvane.out");
    options.stdinPipe = true;
    ChildProcess korvane(
        KORVANE_EXE,
        {"/adapter:" + std::to_string(adapter), "/host:127.0.0.1", "/port:" + std::to_string(port)},
        options);
    // Wait for the filter to be in place before sending.
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (ReadWholeFile(dir / "korvane.out").find("Analyzing traffic on server port") ==
               std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_NE(ReadWholeFile(dir / "korvane.out").find("Analyzing traffic"), std::string::npos)
        << ReadWholeFile(dir / "korvane.out");

    constexpr int kMessages = 6;
    SendPlayerTraffic(port, kMessages);
    std::this_thread::sleep_for(1500ms);  // more than one read timeout
    korvane.WriteStdin("\x1b");
    ASSERT_EQ(korvane.Wait(20s), 0) << ReadWholeFile(dir / "korvane.out");

    const std::string log = ReadWholeFile(dir / "Korvane.log");
    std::smatch stats;
    ASSERT_TRUE(std::regex_search(log, stats,
                                  std::regex(": ([0-9]+) packets received\\. "
                                             "([0-9]+) Packets lost\n")))
        << log;
    // The player's handshake, its data segments and its close, plus the program's own link.
    EXPECT_GE(std::stoi(stats[1]), kMessages) << log;
    EXPECT_THAT(log, ::testing::HasSubstr("Connection to server 127.0.0.1 established\n"));
    EXPECT_THAT(log, ::testing::HasSubstr("Shutdown complete.\n"));
    server.Stop();
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace korvane
