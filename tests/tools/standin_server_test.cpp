#include "tools/standin_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/standin_process.h"
#include "tools/session_builder.h"
#include "tools/unique_fd.h"

namespace korvane::tools {
namespace {

using korvane::testing::ReadWholeFile;
using korvane::testing::StandinArgs;
using korvane::testing::StandinProcess;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using namespace std::chrono_literals;

// A fresh directory named after the running test.
std::filesystem::path TestDirectory() {
    return korvane::testing::FreshDirectory(
        std::string("standin-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
}

// Connects a TCP socket to 127.0.0.1:port; false when that fails.
bool ConnectTo(const UniqueFd& socket, uint16_t port) {
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(port);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&server), sizeof server) == 0;
}

// A TCP client on the loopback address.
UniqueFd Connect(uint16_t port) {
    UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!ConnectTo(socket, port)) {
        ADD_FAILURE() << "cannot connect to 127.0.0.1:" << port;
        return UniqueFd();
    }
    int on = 1;
    ::setsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return socket;
}

void SendAll(const UniqueFd& socket, std::span<const uint8_t> bytes) {
    ASSERT_EQ(::send(socket.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
}

// Sends the bytes in the given pieces, pausing between them so they arrive apart.
void SendInPieces(const UniqueFd& socket, std::span<const uint8_t> bytes,
                  std::initializer_list<size_t> cuts) {
    size_t at = 0;
    for (size_t cut : cuts) {
        SendAll(socket, bytes.subspan(at, cut - at));
        at = cut;
        std::this_thread::sleep_for(30ms);
    }
    SendAll(socket, bytes.subspan(at));
}

// True when the peer has closed the connection (end of stream or reset) within `limit`.
bool ClosedByPeer(const UniqueFd& socket, std::chrono::milliseconds limit) {
    pollfd entry{socket.get(), POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(limit.count())) <= 0) {
        return false;
    }
    char byte = 0;
    return ::recv(socket.get(), &byte, 1, 0) <= 0;
}

// A server run in a thread of the test, with its lines collected.
class InProcessStandin {
  public:
    explicit InProcessStandin(StandinOptions options)
        : server_(std::move(options), [this](const std::string& line) { Add(line); }) {}
    ~InProcessStandin() { Stop(); }

    bool Start() { return Listen() && Serve(); }
    // Start in two steps, for tests that do something between them.
    bool Listen() {
        std::string error;
        if (!server_.Listen(error)) {
            ADD_FAILURE() << error;
            return false;
        }
        return true;
    }
    bool Serve() {
        thread_ = std::thread([this] {
            bool bySignal = server_.Run([this] { return stop_.load(); });
            std::lock_guard lock(mutex_);
            stoppedByRequest_ = bySignal;
            finished_ = true;
            changed_.notify_all();
        });
        return true;
    }
    uint16_t port() const { return server_.port(); }

    // Waits until `count` lines have arrived; false after `limit`.
    bool WaitForLines(size_t count, std::chrono::milliseconds limit = 5s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return lines_.size() >= count; });
    }
    bool WaitForFinish(std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return finished_; });
    }
    std::vector<std::string> Lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    void Stop() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    bool stoppedByRequest() {
        std::lock_guard lock(mutex_);
        return stoppedByRequest_;
    }

  private:
    void Add(const std::string& line) {
        std::lock_guard lock(mutex_);
        lines_.push_back(line);
        changed_.notify_all();
    }

    StandinServer server_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    bool finished_ = false;
    bool stoppedByRequest_ = false;
};

StandinOptions Quick(int seconds = 20) {
    StandinOptions options;
    options.seconds = seconds;
    return options;
}

TEST(StandinServer, PrintsMessagesSentInPiecesAndDumpsTheBytes) {
    auto dir = TestDirectory();
    StandinOptions options = Quick();
    options.dumpPrefix = (dir / "conn").string();
    InProcessStandin standin(options);
    ASSERT_TRUE(standin.Start());
    ASSERT_TRUE(standin.WaitForLines(1));
    EXPECT_EQ(standin.Lines()[0],
              "standin: listening on 127.0.0.1:" + std::to_string(standin.port()));

    auto chat = BuildChatMessage(0x102, 1, 0, ProgramChatText("hi"));
    auto deletion = BuildDeletionMessage(0x100);
    std::vector<uint8_t> stream = chat;
    stream.insert(stream.end(), deletion.begin(), deletion.end());
    {
        UniqueFd client = Connect(standin.port());
        ASSERT_TRUE(client.valid());
        // Cut inside the size word, inside the chat text, and just after the chat.
        SendInPieces(client, stream, {1, 40, chat.size(), chat.size() + 30});
        ASSERT_TRUE(standin.WaitForLines(4));
    }
    ASSERT_TRUE(standin.WaitForLines(5));
    auto lines = standin.Lines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_THAT(lines[1], MatchesRegex("standin: connection 1 from 127\\.0\\.0\\.1:[0-9]+"));
    EXPECT_EQ(lines[2],
              "[1] chat 00000102 -> 00000001 [0]: (2.1 (beta.1) Feb 10 2004 "
              "14:49:49 ) hi");
    EXPECT_EQ(lines[3], "[1] delete player 00000100");
    EXPECT_EQ(lines[4], "standin: connection 1 closed after 124 bytes");
    EXPECT_EQ(ReadWholeFile(dir / "conn.1"), std::string(stream.begin(), stream.end()));

    // A second connection gets its own number and dump file.
    {
        UniqueFd client = Connect(standin.port());
        SendAll(client, deletion);
        ASSERT_TRUE(standin.WaitForLines(7));
    }
    ASSERT_TRUE(standin.WaitForLines(8));
    lines = standin.Lines();
    EXPECT_THAT(lines[5], MatchesRegex("standin: connection 2 from 127\\.0\\.0\\.1:[0-9]+"));
    EXPECT_EQ(lines[6], "[2] delete player 00000100");
    EXPECT_EQ(lines[7], "standin: connection 2 closed after 48 bytes");
    EXPECT_EQ(ReadWholeFile(dir / "conn.2"), std::string(deletion.begin(), deletion.end()));

    standin.Stop();
    EXPECT_TRUE(standin.stoppedByRequest());
    EXPECT_EQ(standin.Lines().back(), "standin: stopping on signal");
    std::filesystem::remove_all(dir);
}

TEST(StandinServer, ServesSeveralConnectionsAtOnce) {
    InProcessStandin standin(Quick());
    ASSERT_TRUE(standin.Start());
    UniqueFd first = Connect(standin.port());
    ASSERT_TRUE(standin.WaitForLines(2));
    UniqueFd second = Connect(standin.port());
    ASSERT_TRUE(standin.WaitForLines(3));
    SendAll(second, BuildDeletionMessage(2));
    ASSERT_TRUE(standin.WaitForLines(4));
    SendAll(first, BuildDeletionMessage(1));
    ASSERT_TRUE(standin.WaitForLines(5));
    standin.Stop();
    // Connections still open at the stop are reported closed, then the stopping line.
    EXPECT_THAT(
        standin.Lines(),
        ElementsAre(HasSubstr("listening"), HasSubstr("connection 1 from"),
                    HasSubstr("connection 2 from"), "[2] delete player 00000002",
                    "[1] delete player 00000001", "standin: connection 1 closed after 48 bytes",
                    "standin: connection 2 closed after 48 bytes", "standin: stopping on signal"));
}

TEST(StandinServer, OutOfStepStreamIsReportedAndResumes) {
    InProcessStandin standin(Quick());
    ASSERT_TRUE(standin.Start());
    UniqueFd client = Connect(standin.port());
    const std::vector<uint8_t> garbage = {0x01, 0x00, 0x34, 0x12, 0xFF};
    SendAll(client, garbage);
    ASSERT_TRUE(standin.WaitForLines(3));
    std::this_thread::sleep_for(50ms);
    SendAll(client, BuildDeletionMessage(7));
    ASSERT_TRUE(standin.WaitForLines(4));
    auto lines = standin.Lines();
    EXPECT_EQ(lines[2], "[1] bad message header (size=1 token=1234)");
    EXPECT_EQ(lines[3], "[1] delete player 00000007");
}

TEST(StandinServer, DropAfterClosesTheConnection) {
    StandinOptions options = Quick();
    options.dropAfter = 2;
    InProcessStandin standin(options);
    ASSERT_TRUE(standin.Start());
    UniqueFd client = Connect(standin.port());
    auto one = BuildDeletionMessage(1);
    SendAll(client, one);
    ASSERT_TRUE(standin.WaitForLines(3));
    EXPECT_FALSE(ClosedByPeer(client, 100ms));  // one message: still open
    // The second and a third message in one piece: only two are taken.
    std::vector<uint8_t> more = BuildDeletionMessage(2);
    auto three = BuildDeletionMessage(3);
    more.insert(more.end(), three.begin(), three.end());
    SendAll(client, more);
    EXPECT_TRUE(ClosedByPeer(client, 5s));
    ASSERT_TRUE(standin.WaitForLines(6));
    EXPECT_THAT(standin.Lines(),
                ElementsAre(HasSubstr("listening"), HasSubstr("connection 1 from"),
                            "[1] delete player 00000001", "[1] delete player 00000002",
                            "standin: dropping connection 1 after 2 messages",
                            "standin: connection 1 closed after 144 bytes"));
    // The next connection is served afresh.
    UniqueFd again = Connect(standin.port());
    SendAll(again, one);
    ASSERT_TRUE(standin.WaitForLines(8));
    EXPECT_EQ(standin.Lines()[7], "[2] delete player 00000001");
}

TEST(StandinServer, RefuseResetsEveryConnectionAtOnce) {
    StandinOptions options = Quick();
    options.refuse = true;
    InProcessStandin standin(options);
    ASSERT_TRUE(standin.Start());
    for (int n = 1; n <= 2; ++n) {
        UniqueFd client = Connect(standin.port());
        ASSERT_TRUE(client.valid());
        EXPECT_TRUE(ClosedByPeer(client, 5s));
        // Reset, not closed in order: what is sent now fails.
        ssize_t sent = 0;
        for (int tries = 0; tries < 3 && sent >= 0; ++tries) {
            const std::vector<uint8_t> one = BuildDeletionMessage(1);
            sent = ::send(client.get(), one.data(), one.size(), MSG_NOSIGNAL);
        }
        EXPECT_LT(sent, 0);
        ASSERT_TRUE(standin.WaitForLines(1 + 3 * static_cast<size_t>(n)));
    }
    EXPECT_THAT(
        standin.Lines(),
        ElementsAre(HasSubstr("listening"), HasSubstr("connection 1 from"),
                    "standin: refusing connection 1", "standin: connection 1 closed after 0 bytes",
                    HasSubstr("connection 2 from"), "standin: refusing connection 2",
                    "standin: connection 2 closed after 0 bytes"));
}

TEST(StandinServer, QuietStreamOnlyCountsBytes) {
    StandinOptions options = Quick();
    options.quietStream = true;
    InProcessStandin standin(options);
    ASSERT_TRUE(standin.Start());
    {
        UniqueFd client = Connect(standin.port());
        SendAll(client, BuildDeletionMessage(1));
        SendAll(client, std::vector<uint8_t>(1000, 0x55));
        ASSERT_TRUE(standin.WaitForLines(2));
    }
    ASSERT_TRUE(standin.WaitForLines(3));
    EXPECT_THAT(standin.Lines(), ElementsAre(HasSubstr("listening"), HasSubstr("connection 1 from"),
                                             "standin: connection 1 closed after 1048 bytes"));
}

TEST(StandinServer, StopsByItselfAtTheTimeLimit) {
    InProcessStandin standin(Quick(1));
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(standin.Listen());
    // Connected before the server runs, so it is there to be reported however late that is.
    UniqueFd client = Connect(standin.port());
    ASSERT_TRUE(standin.Serve());
    ASSERT_TRUE(standin.WaitForFinish(5s));
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 900ms);
    EXPECT_FALSE(standin.stoppedByRequest());
    auto lines = standin.Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "standin: connection 1 closed after 0 bytes");
    EXPECT_EQ(lines.back(), "standin: stopping after 1 seconds");
    EXPECT_TRUE(ClosedByPeer(client, 1s));
}

TEST(StandinServer, ReportsWhatHadArrivedWhenItStops) {
    std::vector<std::string> lines;
    StandinServer server(Quick(), [&](const std::string& line) { lines.push_back(line); });
    std::string error;
    ASSERT_TRUE(server.Listen(error)) << error;
    UniqueFd first = Connect(server.port());
    UniqueFd second;
    // The stop comes once the first connection is accepted, with bytes on it not yet read and
    // a second connection not yet accepted.
    bool bySignal = server.Run([&] {
        if (lines.size() < 2) {
            return false;
        }
        SendAll(first, BuildDeletionMessage(5));
        first.Reset();
        second = Connect(server.port());
        return true;
    });
    EXPECT_TRUE(bySignal);
    EXPECT_THAT(lines, ElementsAre(HasSubstr("listening"), HasSubstr("connection 1 from"),
                                   HasSubstr("connection 2 from"), "[1] delete player 00000005",
                                   "standin: connection 1 closed after 48 bytes",
                                   "standin: connection 2 closed after 0 bytes",
                                   "standin: stopping on signal"));
    EXPECT_TRUE(ClosedByPeer(second, 1s));
}

// Lowers the limit on open descriptors so that none is left; puts it back when it goes.
class NoDescriptorsLeft {
  public:
    NoDescriptorsLeft() {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        UniqueFd probe(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        rlimit low = saved_;
        low.rlim_cur = static_cast<rlim_t>(probe.get()) + 1;
        ::setrlimit(RLIMIT_NOFILE, &low);
        fillers_.push_back(std::move(probe));
        // Take whatever lower descriptors are free.
        for (int fd = ::dup(fillers_[0].get()); fd >= 0; fd = ::dup(fillers_[0].get())) {
            fillers_.emplace_back(fd);
        }
    }
    ~NoDescriptorsLeft() {
        fillers_.clear();
        ::setrlimit(RLIMIT_NOFILE, &saved_);
    }
    NoDescriptorsLeft(const NoDescriptorsLeft&) = delete;
    NoDescriptorsLeft& operator=(const NoDescriptorsLeft&) = delete;

  private:
    rlimit saved_{};
    std::vector<UniqueFd> fillers_;
};

// The processor time of the whole process, all threads together.
std::chrono::milliseconds ProcessCpuTime() {
    return std::chrono::milliseconds(std::clock() * 1000 / CLOCKS_PER_SEC);
}

TEST(StandinServer, OutOfDescriptorsItWaitsWithoutSpinning) {
    InProcessStandin standin(Quick());
    ASSERT_TRUE(standin.Start());
    UniqueFd first = Connect(standin.port());
    ASSERT_TRUE(standin.WaitForLines(2));
    // A socket made while there are descriptors, connected when there are none left.
    UniqueFd second(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(second.valid());
    {
        NoDescriptorsLeft none;
        ASSERT_TRUE(ConnectTo(second, standin.port()));
        // The waiting connection keeps the listener readable; the server must not poll it in
        // a busy loop meanwhile. This thread sleeps, so the process's time is the server's.
        auto before = ProcessCpuTime();
        std::this_thread::sleep_for(1s);
        EXPECT_LT(ProcessCpuTime() - before, 250ms);
        EXPECT_EQ(standin.Lines().size(), 2u);
    }
    // With descriptors free again the waiting connection is taken.
    ASSERT_TRUE(standin.WaitForLines(3));
    EXPECT_THAT(standin.Lines()[2], HasSubstr("connection 2 from"));
}

TEST(StandinServer, RefusesNonLoopbackAddresses) {
    StandinOptions options = Quick();
    options.address = "192.0.2.2";
    StandinServer server(options, [](const std::string&) {});
    std::string error;
    EXPECT_FALSE(server.Listen(error));
    EXPECT_THAT(error, HasSubstr("non-loopback"));
}

TEST(StandinCommandLine, ReadsEveryOption) {
    std::vector<std::string> args = {"--address",   "127.0.0.5",
                                     "--port",      "2300",
                                     "--port-file", "p",
                                     "--seconds=7", "--dump",
                                     "d",           "--drop-after",
                                     "3",           "--quiet-stream",
                                     "--refuse",    "--outside-loopback"};
    auto parsed = ParseStandinCommandLine(args);
    ASSERT_TRUE(parsed.options) << parsed.error;
    EXPECT_EQ(parsed.options->address, "127.0.0.5");
    EXPECT_EQ(parsed.options->port, 2300);
    EXPECT_EQ(parsed.options->portFile, "p");
    EXPECT_EQ(parsed.options->seconds, 7);
    EXPECT_EQ(parsed.options->dumpPrefix, "d");
    EXPECT_EQ(parsed.options->dropAfter, 3);
    EXPECT_TRUE(parsed.options->quietStream);
    EXPECT_TRUE(parsed.options->refuse);
    EXPECT_TRUE(parsed.options->outsideLoopback);

    auto defaults = ParseStandinCommandLine({});
    ASSERT_TRUE(defaults.options);
    EXPECT_EQ(defaults.options->address, "127.0.0.1");
    EXPECT_EQ(defaults.options->port, 0);
    EXPECT_EQ(defaults.options->seconds, 30);
    EXPECT_EQ(defaults.options->dropAfter, 0);
    EXPECT_FALSE(defaults.options->quietStream);
    EXPECT_FALSE(defaults.options->refuse);
    EXPECT_FALSE(defaults.options->outsideLoopback);

    // An address of a namespace's own, before or after the switch that allows it.
    for (std::vector<std::string> given :
         {std::vector<std::string>{"--outside-loopback", "--address", "10.77.2.2"},
          {"--address=10.77.2.2", "--outside-loopback"}}) {
        auto outside = ParseStandinCommandLine(given);
        ASSERT_TRUE(outside.options) << outside.error;
        EXPECT_EQ(outside.options->address, "10.77.2.2");
    }
}

TEST(StandinCommandLine, RejectsBadOptions) {
    auto error = [](std::vector<std::string> args) {
        auto parsed = ParseStandinCommandLine(args);
        EXPECT_FALSE(parsed.options);
        return parsed.error;
    };
    EXPECT_EQ(error({"--address", "192.0.2.2"}), "refusing non-loopback address 192.0.2.2");
    EXPECT_EQ(error({"--address", "0.0.0.0"}), "refusing non-loopback address 0.0.0.0");
    EXPECT_EQ(error({"--address", "localhost"}), "not an IPv4 address: localhost");
    EXPECT_EQ(error({"--outside-loopback", "--address", "0.0.0.0"}),
              "refusing wildcard address 0.0.0.0");
    EXPECT_EQ(error({"--outside-loopback=yes"}), "unknown option --outside-loopback=yes");
    EXPECT_EQ(error({"--seconds", "601"}), "--seconds must be 1 to 600, not 601");
    EXPECT_EQ(error({"--seconds", "0"}), "--seconds must be 1 to 600, not 0");
    EXPECT_EQ(error({"--seconds", "5s"}), "--seconds must be 1 to 600, not 5s");
    EXPECT_EQ(error({"--port", "65536"}), "bad port 65536");
    EXPECT_EQ(error({"--drop-after", "0"}), "bad message count 0");
    EXPECT_EQ(error({"--port"}), "--port needs a value");
    EXPECT_EQ(error({"--verbose"}), "unknown option --verbose");
    EXPECT_EQ(error({"2300"}), "unknown option 2300");
    EXPECT_TRUE(ParseStandinCommandLine(std::vector<std::string>{"--help"}).help);
}

TEST(StandinExecutable, PrintsWhatArrivesAndStopsOnSignal) {
    auto dir = TestDirectory();
    StandinProcess standin(dir, {"--dump", (dir / "dump").string()});
    int port = standin.Port();
    ASSERT_NE(port, 0) << standin.Errors();
    EXPECT_EQ(ReadWholeFile(dir / "standin.port"), std::to_string(port) + "\n");
    auto chat = BuildChatMessage(1, 0x203, 7, "Welcome");
    {
        UniqueFd client = Connect(static_cast<uint16_t>(port));
        SendAll(client, chat);
    }
    ASSERT_TRUE(standin.WaitForLines(4, 10s));
    standin.Terminate();
    ASSERT_EQ(standin.Wait(10s), 0);
    auto lines = standin.Output();
    ASSERT_EQ(lines.size(), 5u) << standin.Errors();
    EXPECT_EQ(lines[0], "standin: listening on 127.0.0.1:" + std::to_string(port));
    EXPECT_THAT(lines[1], MatchesRegex("standin: connection 1 from 127\\.0\\.0\\.1:[0-9]+"));
    EXPECT_EQ(lines[2], "[1] chat 00000001 -> 00000203 [7]: Welcome");
    EXPECT_EQ(lines[3], "standin: connection 1 closed after 44 bytes");
    EXPECT_EQ(lines[4], "standin: stopping on signal");
    EXPECT_EQ(ReadWholeFile(dir / "dump.1"), std::string(chat.begin(), chat.end()));
    std::filesystem::remove_all(dir);
}

TEST(StandinExecutable, ReportsOpenConnectionsClosedOnSignal) {
    auto dir = TestDirectory();
    StandinProcess standin(dir);
    int port = standin.Port();
    ASSERT_NE(port, 0) << standin.Errors();
    UniqueFd client = Connect(static_cast<uint16_t>(port));
    ASSERT_TRUE(standin.WaitForLines(2, 10s));
    auto lines = standin.Stop();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2], "standin: connection 1 closed after 0 bytes");
    EXPECT_EQ(lines[3], "standin: stopping on signal");
    EXPECT_TRUE(ClosedByPeer(client, 1s));
    std::filesystem::remove_all(dir);
}

TEST(StandinExecutable, StopsByItselfAtTheTimeLimit) {
    auto dir = TestDirectory();
    auto start = std::chrono::steady_clock::now();
    StandinProcess standin(dir, {"--seconds", "1"}, StandinArgs::asGiven);
    ASSERT_EQ(standin.Wait(10s), 0) << standin.Errors();
    EXPECT_GE(std::chrono::steady_clock::now() - start, 900ms);
    EXPECT_THAT(standin.Output(),
                ElementsAre(MatchesRegex("standin: listening on 127\\.0\\.0\\.1:[0-9]+"),
                            "standin: stopping after 1 seconds"));
    std::filesystem::remove_all(dir);
}

TEST(StandinExecutable, BadOptionsGiveUsageAndStatusTwo) {
    auto dir = TestDirectory();
    for (std::vector<std::string> args :
         {std::vector<std::string>{"--address", "192.0.2.2"}, {"--seconds", "1000"}, {"-x"}}) {
        StandinProcess standin(dir, args, StandinArgs::asGiven);
        EXPECT_EQ(standin.Wait(5s), 2) << args[0];
        EXPECT_THAT(standin.Errors(), HasSubstr("usage: korvane-standin"));
        EXPECT_TRUE(standin.Output().empty());
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace korvane::tools
