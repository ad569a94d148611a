// The Windows sockets layer against a listener of the test's own on the loopback address.
#include "platform/winsock_sockets.h"

#include <gtest/gtest.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <array>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace korvane {
namespace {

constexpr uint32_t kLoopback = 0x7F000001;

// A listening socket on 127.0.0.1 and a free port, closed with the object.
class Listener {
  public:
    Listener() {
        socket_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(kLoopback);
        int length = sizeof at;
        if (socket_ == INVALID_SOCKET ||
            ::bind(socket_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
            ::listen(socket_, 4) != 0 ||
            ::getsockname(socket_, reinterpret_cast<sockaddr*>(&at), &length) != 0) {
            return;
        }
        port_ = ntohs(at.sin_port);
    }
    ~Listener() { Close(); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    uint16_t port() const { return port_; }
    // Accepts one connection; its peer's end, and the accepted socket in `accepted`.
    SocketEnd Accept(SOCKET& accepted) {
        sockaddr_in peer{};
        int length = sizeof peer;
        accepted = ::accept(socket_, reinterpret_cast<sockaddr*>(&peer), &length);
        return {ntohl(peer.sin_addr.s_addr), ntohs(peer.sin_port)};
    }
    void Close() {
        if (socket_ != INVALID_SOCKET) {
            ::closesocket(socket_);
            socket_ = INVALID_SOCKET;
        }
    }

  private:
    SOCKET socket_ = INVALID_SOCKET;
    uint16_t port_ = 0;
};

// Every test starts the sockets layer through the code under test and stops it again.
class WinsockSockets : public ::testing::Test {
  protected:
    void SetUp() override {
        const SocketsStartup started = sockets_->Startup();
        ASSERT_EQ(started.result, 0);
    }
    void TearDown() override { EXPECT_EQ(sockets_->Cleanup(), 0); }

    // A connection from the code under test to a listener, and the listener's end of it.
    void Connect(Listener& listener, SocketHandle& mine, SOCKET& theirs) {
        ASSERT_NE(listener.port(), 0);
        mine = sockets_->OpenStream();
        ASSERT_NE(mine, kNoSocket);
        ASSERT_EQ(sockets_->Connect(mine, kLoopback, listener.port()), 0);
        listener.Accept(theirs);
        ASSERT_NE(theirs, INVALID_SOCKET);
    }

    std::unique_ptr<Sockets> sockets_ = MakeWinsockSockets();
};

// Wine reads a reset connection as one closed in order (the reset's code is not passed on to
// the reader); Windows itself gives the reset's code.
bool UnderWine() {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool ReadableWithin(SocketHandle socket, int milliseconds) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(static_cast<SOCKET>(socket), &readable);
    timeval limit{milliseconds / 1000, (milliseconds % 1000) * 1000};
    return ::select(0, &readable, nullptr, nullptr, &limit) == 1;
}

TEST_F(WinsockSockets, StartupDescribesTheLayer) {
    // Started once more, as a program may; every start is ended by a clean-up of its own.
    const SocketsStartup started = sockets_->Startup();
    EXPECT_EQ(started.result, 0);
    EXPECT_FALSE(started.description.empty());
    EXPECT_FALSE(started.systemStatus.empty());
    EXPECT_LE(started.description.size(), static_cast<size_t>(WSADESCRIPTION_LEN));
    EXPECT_LE(started.systemStatus.size(), static_cast<size_t>(WSASYS_STATUS_LEN));
    EXPECT_EQ(sockets_->Cleanup(), 0);
}

TEST_F(WinsockSockets, ConnectedSocketKnowsTheEndItsPeerSees) {
    Listener listener;
    ASSERT_NE(listener.port(), 0);
    const SocketHandle s = sockets_->OpenStream();
    ASSERT_NE(s, kNoSocket);
    ASSERT_EQ(sockets_->Connect(s, kLoopback, listener.port()), 0);
    SOCKET accepted = INVALID_SOCKET;
    const SocketEnd seen = listener.Accept(accepted);
    ASSERT_NE(accepted, INVALID_SOCKET);
    EXPECT_EQ(sockets_->LocalEnd(s), seen);

    const std::array<uint8_t, 3> bytes = {1, 2, 3};
    EXPECT_EQ(sockets_->Send(s, bytes), 3);
    std::array<char, 3> got{};
    EXPECT_EQ(::recv(accepted, got.data(), static_cast<int>(got.size()), MSG_WAITALL), 3);
    EXPECT_EQ(got, (std::array<char, 3>{1, 2, 3}));
    ::closesocket(accepted);
    sockets_->Close(s);
    EXPECT_FALSE(sockets_->LocalEnd(s));  // a closed handle has no end
    EXPECT_EQ(sockets_->LastError(), WSAENOTSOCK);
    EXPECT_EQ(sockets_->Send(s, bytes), -1);
    EXPECT_EQ(sockets_->LastError(), WSAENOTSOCK);
}

TEST_F(WinsockSockets, OptionsAreSetOnTheSocket) {
    Listener listener;
    SocketHandle s = kNoSocket;
    SOCKET accepted = INVALID_SOCKET;
    ASSERT_NO_FATAL_FAILURE(Connect(listener, s, accepted));
    const SOCKET native = static_cast<SOCKET>(s);

    DWORD noDelay = 0;
    int length = sizeof noDelay;
    ASSERT_EQ(
        ::getsockopt(native, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&noDelay), &length),
        0);
    EXPECT_EQ(noDelay & 0xFFu, 0u);
    sockets_->SetNoDelay(s);
    noDelay = 0;
    length = sizeof noDelay;
    ASSERT_EQ(
        ::getsockopt(native, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&noDelay), &length),
        0);
    EXPECT_NE(noDelay & 0xFFu, 0u);

    for (int milliseconds : {100, 2500, 30000}) {
        sockets_->SetSendTimeout(s, milliseconds);
        DWORD limit = 0;
        length = sizeof limit;
        ASSERT_EQ(
            ::getsockopt(native, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<char*>(&limit), &length),
            0);
        EXPECT_EQ(limit, static_cast<DWORD>(milliseconds));
    }
    ::closesocket(accepted);
    sockets_->Close(s);
}

TEST_F(WinsockSockets, StreamsAreNotHandedOnToChildProcesses) {
    const SocketHandle s = sockets_->OpenStream();
    ASSERT_NE(s, kNoSocket);
    DWORD flags = HANDLE_FLAG_INHERIT;
    ASSERT_TRUE(::GetHandleInformation(reinterpret_cast<HANDLE>(s), &flags));
    EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);
    sockets_->Close(s);
}

// What the peer does to the connection, and whether the code under test must see it gone.
struct PeerCase {
    const char* name;
    bool sendsData;
    enum class End { staysOpen, closes, resets } end;
    bool closed;
    int error;  // LastError() once it is seen closed
};

void PrintTo(const PeerCase& c, std::ostream* out) {
    *out << c.name;
}

class PeerClosedCases : public WinsockSockets, public ::testing::WithParamInterface<PeerCase> {};

TEST_P(PeerClosedCases, SeesThePeerGoneOnlyWhenItHasGone) {
    const PeerCase& c = GetParam();
    Listener listener;
    SocketHandle s = kNoSocket;
    SOCKET accepted = INVALID_SOCKET;
    ASSERT_NO_FATAL_FAILURE(Connect(listener, s, accepted));
    EXPECT_FALSE(sockets_->PeerClosed(s));

    if (c.sendsData) {
        const char ping[] = "news, but not a close";
        ASSERT_EQ(::send(accepted, ping, sizeof ping, 0), static_cast<int>(sizeof ping));
        ASSERT_TRUE(ReadableWithin(s, 5000));
    }
    if (c.end == PeerCase::End::resets) {
        const linger abort{1, 0};  // closing now sends a reset
        ASSERT_EQ(::setsockopt(accepted, SOL_SOCKET, SO_LINGER,
                               reinterpret_cast<const char*>(&abort), sizeof abort),
                  0);
    }
    if (c.end != PeerCase::End::staysOpen) {
        ::closesocket(accepted);
        accepted = INVALID_SOCKET;
    }

    // The close or reset takes a moment to arrive; look again and again for a bounded time.
    bool closed = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    const auto lookUntil =
        c.closed ? deadline : std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (!closed && std::chrono::steady_clock::now() < lookUntil) {
        closed = sockets_->PeerClosed(s);
        if (!closed) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    EXPECT_EQ(closed, c.closed);
    if (c.closed) {
        const int code = sockets_->LastError();
        if (c.error == WSAECONNRESET && UnderWine()) {
            EXPECT_TRUE(code == WSAECONNRESET || code == WSAEDISCON) << code;
        } else {
            EXPECT_EQ(code, c.error);
        }
        EXPECT_TRUE(sockets_->PeerClosed(s));  // and it stays gone
    }
    if (accepted != INVALID_SOCKET) {
        ::closesocket(accepted);
    }
    sockets_->Close(s);
}

INSTANTIATE_TEST_SUITE_P(
    Peers, PeerClosedCases,
    ::testing::Values(
        PeerCase{"open", false, PeerCase::End::staysOpen, false, 0},
        PeerCase{"openWithDataWaiting", true, PeerCase::End::staysOpen, false, 0},
        PeerCase{"closed", false, PeerCase::End::closes, true, WSAEDISCON},
        PeerCase{"closedBehindDataWaiting", true, PeerCase::End::closes, true, WSAEDISCON},
        PeerCase{"reset", false, PeerCase::End::resets, true, WSAECONNRESET},
        PeerCase{"resetBehindDataWaiting", true, PeerCase::End::resets, true, WSAECONNRESET}),
    [](const ::testing::TestParamInfo<PeerCase>& param) { return std::string(param.param.name); });

TEST_F(WinsockSockets, HandlesThatAreNoConnectionAreNotClosedConnections) {
    EXPECT_FALSE(sockets_->PeerClosed(kNoSocket));
    const SocketHandle s = sockets_->OpenStream();
    ASSERT_NE(s, kNoSocket);
    EXPECT_FALSE(sockets_->PeerClosed(s));  // never connected
    sockets_->Close(s);
    EXPECT_FALSE(sockets_->PeerClosed(s));  // closed: the send itself fails
}

TEST_F(WinsockSockets, SendAfterTheResetFails) {
    Listener listener;
    SocketHandle s = kNoSocket;
    SOCKET accepted = INVALID_SOCKET;
    ASSERT_NO_FATAL_FAILURE(Connect(listener, s, accepted));
    const linger abort{1, 0};
    ASSERT_EQ(::setsockopt(accepted, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort),
                           sizeof abort),
              0);
    ::closesocket(accepted);
    ASSERT_TRUE(ReadableWithin(s, 5000));  // the reset has arrived
    const std::array<uint8_t, 4> bytes = {1, 2, 3, 4};
    EXPECT_EQ(sockets_->Send(s, bytes), -1);
    const int code = sockets_->LastError();
    EXPECT_TRUE(code == WSAECONNRESET || code == WSAECONNABORTED) << code;
    sockets_->Close(s);
}

TEST_F(WinsockSockets, SendToAServerThatTakesNothingInGivesUpInTime) {
    Listener listener;  // never accepts: the connection waits in the backlog, unread
    ASSERT_NE(listener.port(), 0);
    const SocketHandle s = sockets_->OpenStream();
    ASSERT_EQ(sockets_->Connect(s, kLoopback, listener.port()), 0);
    sockets_->SetSendTimeout(s, 100);
    const std::vector<uint8_t> chunk(65536, 0x55);
    const auto start = std::chrono::steady_clock::now();
    // The buffers fill up; then a send fails once it has waited its time, instead of waiting on.
    long sent = 0;
    for (int round = 0; round < 2000 && sent >= 0; ++round) {
        sent = sockets_->Send(s, chunk);
    }
    EXPECT_EQ(sent, -1);
    EXPECT_EQ(sockets_->LastError(), WSAETIMEDOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    sockets_->Close(s);
}

TEST_F(WinsockSockets, ConnectingWhereNobodyListensFails) {
    Listener listener;
    const uint16_t port = listener.port();
    ASSERT_NE(port, 0);
    listener.Close();
    const SocketHandle s = sockets_->OpenStream();
    ASSERT_NE(s, kNoSocket);
    EXPECT_EQ(sockets_->Connect(s, kLoopback, port), -1);
    EXPECT_EQ(sockets_->LastError(), WSAECONNREFUSED);
    sockets_->Close(s);
}

TEST_F(WinsockSockets, KnowsTheHostsNameAndResolvesNames) {
    const std::optional<std::string> name = sockets_->HostName();
    ASSERT_TRUE(name);
    EXPECT_FALSE(name->empty());
    EXPECT_TRUE(sockets_->ResolveFirstIPv4(*name));
    EXPECT_EQ(sockets_->ResolveFirstIPv4("127.0.0.1"), kLoopback);
    EXPECT_EQ(sockets_->ResolveFirstIPv4("localhost"), kLoopback);
}

}  // namespace
}  // namespace korvane
