// The real sockets layer against a listener of the test's own on the loopback address.
#include "platform/posix_sockets.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <thread>
#include <vector>

namespace korvane {
namespace {

constexpr uint32_t kLoopback = 0x7F000001;

// A listening socket on 127.0.0.1 and a free port, closed with the object.
class Listener {
  public:
    Listener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(kLoopback);
        socklen_t length = sizeof at;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
            ::listen(fd_, 4) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&at), &length) != 0) {
            return;
        }
        port_ = ntohs(at.sin_port);
    }
    ~Listener() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    uint16_t port() const { return port_; }
    // Accepts one connection; its peer's end, and the accepted socket in `accepted`.
    SocketEnd Accept(int& accepted) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        accepted = ::accept(fd_, reinterpret_cast<sockaddr*>(&peer), &length);
        return {ntohl(peer.sin_addr.s_addr), ntohs(peer.sin_port)};
    }
    void Close() {
        ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

TEST(PosixSockets, ConnectedSocketKnowsTheEndItsPeerSees) {
    Listener listener;
    ASSERT_NE(listener.port(), 0);
    auto sockets = MakePosixSockets();
    const SocketHandle s = sockets->OpenStream();
    ASSERT_NE(s, kNoSocket);
    ASSERT_EQ(sockets->Connect(s, kLoopback, listener.port()), 0);
    int accepted = -1;
    const SocketEnd seen = listener.Accept(accepted);
    ASSERT_GE(accepted, 0);
    EXPECT_EQ(sockets->LocalEnd(s), seen);

    const std::array<uint8_t, 3> bytes = {1, 2, 3};
    EXPECT_EQ(sockets->Send(s, bytes), 3);
    std::array<uint8_t, 3> got{};
    EXPECT_EQ(::recv(accepted, got.data(), got.size(), MSG_WAITALL), 3);
    EXPECT_EQ(got, bytes);
    ::close(accepted);
    sockets->Close(s);
    EXPECT_FALSE(sockets->LocalEnd(s));  // a closed handle has no end
}

TEST(PosixSockets, KnowsWhenThePeerHasClosedTheConnection) {
    Listener listener;
    ASSERT_NE(listener.port(), 0);
    auto sockets = MakePosixSockets();
    EXPECT_FALSE(sockets->PeerClosed(kNoSocket));
    const SocketHandle s = sockets->OpenStream();
    ASSERT_EQ(sockets->Connect(s, kLoopback, listener.port()), 0);
    int accepted = -1;
    listener.Accept(accepted);
    ASSERT_GE(accepted, 0);
    EXPECT_FALSE(sockets->PeerClosed(s));
    const std::array<uint8_t, 1> ping = {7};
    ASSERT_EQ(::send(accepted, ping.data(), ping.size(), 0), 1);  // news, but not a close
    pollfd readable{static_cast<int>(s), POLLIN, 0};
    ASSERT_EQ(::poll(&readable, 1, 5000), 1);
    EXPECT_FALSE(sockets->PeerClosed(s));

    ::close(accepted);
    readable.events = POLLRDHUP;
    ASSERT_EQ(::poll(&readable, 1, 5000), 1);
    EXPECT_TRUE(sockets->PeerClosed(s));
    EXPECT_EQ(sockets->LastError(), EPIPE);
    sockets->Close(s);
}

TEST(PosixSockets, SendToAServerThatTakesNothingInGivesUpInTime) {
    Listener listener;  // never accepts: the connection waits in the backlog, unread
    ASSERT_NE(listener.port(), 0);
    auto sockets = MakePosixSockets();
    const SocketHandle s = sockets->OpenStream();
    ASSERT_EQ(sockets->Connect(s, kLoopback, listener.port()), 0);
    sockets->SetSendTimeout(s, 100);
    const std::vector<uint8_t> chunk(65536, 0x55);
    const auto start = std::chrono::steady_clock::now();
    // The buffers fill up; then a send fails once it has waited its time, instead of waiting on.
    long sent = 0;
    for (int round = 0; round < 2000 && sent >= 0; ++round) {
        sent = sockets->Send(s, chunk);
    }
    EXPECT_EQ(sent, -1);
    EXPECT_EQ(sockets->LastError(), EAGAIN);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    sockets->Close(s);
}

extern "C" void IgnoreSignal(int) {}

TEST(PosixSockets, SignalCutsAStalledSendShort) {
    Listener listener;
    ASSERT_NE(listener.port(), 0);
    auto sockets = MakePosixSockets();
    const SocketHandle s = sockets->OpenStream();
    ASSERT_EQ(sockets->Connect(s, kLoopback, listener.port()), 0);
    sockets->SetSendTimeout(s, 30000);
    // A handler without SA_RESTART, as the console installs for SIGINT and SIGTERM.
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = IgnoreSignal;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
    const pthread_t sender = ::pthread_self();
    std::atomic<bool> done{false};
    std::thread signaller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        while (!done) {
            ::pthread_kill(sender, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    const std::vector<uint8_t> chunk(65536, 0x55);
    const auto start = std::chrono::steady_clock::now();
    long sent = 0;
    for (int round = 0; round < 2000 && sent >= 0; ++round) {
        sent = sockets->Send(s, chunk);
    }
    const auto spent = std::chrono::steady_clock::now() - start;
    done = true;
    signaller.join();
    ::sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(sent, -1);
    EXPECT_EQ(sockets->LastError(), EINTR);
    EXPECT_LT(spent, std::chrono::seconds(10));
    sockets->Close(s);
}

TEST(PosixSockets, ConnectingWhereNobodyListensFails) {
    Listener listener;
    const uint16_t port = listener.port();
    ASSERT_NE(port, 0);
    listener.Close();
    auto sockets = MakePosixSockets();
    const SocketHandle s = sockets->OpenStream();
    ASSERT_NE(s, kNoSocket);
    EXPECT_EQ(sockets->Connect(s, kLoopback, port), -1);
    EXPECT_NE(sockets->LastError(), 0);
    sockets->Close(s);
}

}  // namespace
}  // namespace korvane
