#include "platform/winsock_sockets.h"

#include <winsock2.h>
#include <ws2tcpip.h>
// winsock2.h before windows.h, which would otherwise bring in the old winsock.h.
#include <windows.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>

namespace korvane {

namespace {

SOCKET Native(SocketHandle socket) {
    return static_cast<SOCKET>(socket);
}

// The text of a fixed-size field that need not be terminated.
template <size_t N>
std::string FieldText(const char (&field)[N]) {
    return std::string(field, ::strnlen(field, N));
}

class WinsockSockets final : public Sockets {
  public:
    SocketsStartup Startup() override {
        WSADATA data;
        std::memset(&data, 0, sizeof data);
        const int result = ::WSAStartup(MAKEWORD(1, 1), &data);
        return {result, FieldText(data.szDescription), FieldText(data.szSystemStatus)};
    }
    int Cleanup() override { return ::WSACleanup(); }

    SocketHandle OpenStream() override {
        // Overlapped, as socket() makes it: only then does a send time-out take effect on a
        // socket made by WSASocket. Not handed on to child processes.
        SOCKET s = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
        if (s == INVALID_SOCKET && ::WSAGetLastError() == WSAEINVAL) {
            // Systems before Windows 7 SP1 know no such flag; the handle is made private after.
            s = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
            if (s != INVALID_SOCKET) {
                ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
            }
        }
        if (s == INVALID_SOCKET) {
            error_ = ::WSAGetLastError();
            return kNoSocket;
        }
        return static_cast<SocketHandle>(s);
    }

    int Connect(SocketHandle socket, uint32_t address, uint16_t port) override {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(address);
        if (::connect(Native(socket), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
            error_ = ::WSAGetLastError();
            return -1;
        }
        return 0;
    }

    std::optional<SocketEnd> LocalEnd(SocketHandle socket) override {
        sockaddr_in local{};
        int length = sizeof local;
        if (::getsockname(Native(socket), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
            error_ = ::WSAGetLastError();
            return std::nullopt;
        }
        if (local.sin_family != AF_INET) {
            return std::nullopt;
        }
        return SocketEnd{ntohl(local.sin_addr.s_addr), ntohs(local.sin_port)};
    }

    void SetNoDelay(SocketHandle socket) override {
        const DWORD on = 1;  // 32 bits
        ::setsockopt(Native(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                     sizeof on);
    }

    void SetSendTimeout(SocketHandle socket, int milliseconds) override {
        // Here the limit is a count of milliseconds, not a timeval.
        const DWORD limit = static_cast<DWORD>(std::max(milliseconds, 0));
        ::setsockopt(Native(socket), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&limit),
                     sizeof limit);
    }

    bool PeerClosed(SocketHandle socket) override {
        if (socket == kNoSocket) {
            return false;
        }
        // Nothing the server sends is of use to the program, so what is waiting is read and
        // dropped: only then can a close behind it be seen, as it can on other systems, where
        // the hang-up is reported apart from the data. A connection with data waiting and no
        // close behind it is still open. The bound keeps one call short.
        std::array<char, 4096> dropped{};
        for (int round = 0; round < kDropRounds; ++round) {
            if (!Readable(socket)) {
                return false;
            }
            // Readable: the read returns at once, with data, the end or an error.
            const int got =
                ::recv(Native(socket), dropped.data(), static_cast<int>(dropped.size()), 0);
            if (got == 0) {
                error_ = WSAEDISCON;  // an orderly close
                return true;
            }
            if (got < 0) {
                const int code = ::WSAGetLastError();
                if (!ConnectionGone(code)) {
                    return false;  // not a connection, or no news: the send itself tells
                }
                error_ = code;
                return true;
            }
        }
        return false;
    }

    long Send(SocketHandle socket, std::span<const uint8_t> bytes) override {
        const int length = static_cast<int>(std::min<size_t>(bytes.size(), INT_MAX));
        const int sent =
            ::send(Native(socket), reinterpret_cast<const char*>(bytes.data()), length, 0);
        if (sent == SOCKET_ERROR) {
            error_ = ::WSAGetLastError();
            return -1;
        }
        return sent;
    }

    void Close(SocketHandle socket) override {
        if (socket != kNoSocket) {
            ::closesocket(Native(socket));
        }
    }

    int LastError() override { return error_; }

    std::optional<std::string> HostName() override {
        char name[256] = {};
        if (::gethostname(name, sizeof name - 1) != 0) {
            error_ = ::WSAGetLastError();
            return std::nullopt;
        }
        return std::string(name);
    }

    std::optional<uint32_t> ResolveFirstIPv4(const std::string& name) override {
        const hostent* found = ::gethostbyname(name.c_str());
        if (found == nullptr) {
            error_ = ::WSAGetLastError();
            return std::nullopt;
        }
        if (found->h_addrtype != AF_INET || found->h_length != sizeof(in_addr) ||
            found->h_addr_list == nullptr || found->h_addr_list[0] == nullptr) {
            return std::nullopt;
        }
        in_addr first{};
        std::memcpy(&first, found->h_addr_list[0], sizeof first);
        return ntohl(first.s_addr);
    }

  private:
    // At most this many chunks of waiting bytes are dropped by one look at the connection.
    static constexpr int kDropRounds = 16;

    // Whether a read would return at once (with data, an end or an error); a failed look
    // (no socket at all) says no.
    static bool Readable(SocketHandle socket) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(Native(socket), &readable);
        timeval now{};
        return ::select(0, &readable, nullptr, nullptr, &now) > 0;
    }

    // The codes of a read on a connection the peer has reset or that has been dropped.
    static bool ConnectionGone(int code) {
        return code == WSAECONNRESET || code == WSAECONNABORTED || code == WSAENETRESET ||
               code == WSAETIMEDOUT;
    }

    int error_ = 0;
};

}  // namespace

std::unique_ptr<Sockets> MakeWinsockSockets() {
    return std::make_unique<WinsockSockets>();
}

}  // namespace korvane
