// The real sockets layer against a listener of the test's own on the loopback address.
#include "platform/posix_sockets.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>

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
