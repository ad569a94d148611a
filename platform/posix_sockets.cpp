#include "platform/posix_sockets.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace korvane {

namespace {

// Descriptors are ints on this platform.
int Fd(SocketHandle socket) {
    return static_cast<int>(socket);
}

class PosixSockets final : public Sockets {
  public:
    SocketsStartup Startup() override {
        // Nothing needs starting on this platform; report the layer as it is.
        return {0, "POSIX sockets", "Running"};
    }
    int Cleanup() override { return 0; }

    SocketHandle OpenStream() override {
        int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
        if (s < 0) {
            error_ = errno;
            return kNoSocket;
        }
        return s;
    }

    int Connect(SocketHandle socket, uint32_t address, uint16_t port) override {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(address);
        // An interrupted connect (SIGINT, SIGTERM) counts as failed, so a stop request is not
        // held up by a server that does not answer.
        if (::connect(Fd(socket), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
            error_ = errno;
            return -1;
        }
        return 0;
    }

    std::optional<SocketEnd> LocalEnd(SocketHandle socket) override {
        sockaddr_in local{};
        socklen_t length = sizeof local;
        if (::getsockname(Fd(socket), reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
            local.sin_family != AF_INET) {
            error_ = errno;
            return std::nullopt;
        }
        return SocketEnd{ntohl(local.sin_addr.s_addr), ntohs(local.sin_port)};
    }

    void SetNoDelay(SocketHandle socket) override {
        int on = 1;
        ::setsockopt(Fd(socket), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }

    void SetSendTimeout(SocketHandle socket, int milliseconds) override {
        timeval limit{};
        limit.tv_sec = milliseconds / 1000;
        limit.tv_usec = (milliseconds % 1000) * 1000;
        ::setsockopt(Fd(socket), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    }

    bool PeerClosed(SocketHandle socket) override {
        if (socket < 0) {
            return false;
        }
        // Nothing is ever read from the connection, so the only news it can bring is that the
        // peer has gone: an orderly close (read hang-up), a reset or an error.
        pollfd watched{Fd(socket), POLLRDHUP, 0};
        int ready;
        do {
            ready = ::poll(&watched, 1, 0);
        } while (ready < 0 && errno == EINTR);
        if (ready <= 0 || (watched.revents & (POLLRDHUP | POLLHUP | POLLERR)) == 0) {
            return false;
        }
        int pending = 0;
        socklen_t length = sizeof pending;
        if (::getsockopt(Fd(socket), SOL_SOCKET, SO_ERROR, &pending, &length) != 0 ||
            pending == 0) {
            pending = EPIPE;
        }
        error_ = pending;
        return true;
    }

    long Send(SocketHandle socket, std::span<const uint8_t> bytes) override {
        // An interrupted send (SIGINT, SIGTERM) counts as failed, as an interrupted connect
        // does, so a stop request is not held up by a server that takes nothing in.
        const ssize_t sent = ::send(Fd(socket), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0) {
            error_ = errno;
            return -1;
        }
        return static_cast<long>(sent);
    }

    void Close(SocketHandle socket) override {
        if (socket >= 0) {
            ::close(Fd(socket));
        }
    }

    int LastError() override { return error_; }

    std::optional<std::string> HostName() override {
        char name[256] = {};
        if (::gethostname(name, sizeof name - 1) != 0) {
            error_ = errno;
            return std::nullopt;
        }
        return std::string(name);
    }

    std::optional<uint32_t> ResolveFirstIPv4(const std::string& name) override {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
            return std::nullopt;
        }
        uint32_t address =
            ntohl(reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
        ::freeaddrinfo(found);
        return address;
    }

  private:
    int error_ = 0;
};

}  // namespace

std::unique_ptr<Sockets> MakePosixSockets() {
    return std::make_unique<PosixSockets>();
}

}  // namespace korvane
