#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/sockets.h"

namespace korvane {

// Test double of the sockets layer: connections succeed or fail as scripted, and everything
// sent is kept per socket. No network is touched.
class FakeSockets final : public Sockets {
  public:
    struct ConnectCall {
        SocketHandle socket;
        uint32_t address;
        uint16_t port;
    };

    SocketsStartup Startup() override {
        ++startups;
        return startup;
    }
    int Cleanup() override {
        ++cleanups;
        return cleanupResult;
    }
    SocketHandle OpenStream() override {
        if (failOpen) {
            error = 24;
            return kNoSocket;
        }
        SocketHandle s = nextSocket++;
        open.insert(s);
        return s;
    }
    int Connect(SocketHandle socket, uint32_t address, uint16_t port) override {
        connects.push_back({socket, address, port});
        bool refuse = !connectResults.empty() ? !connectResults.front() : refuseConnects;
        if (!connectResults.empty()) {
            connectResults.erase(connectResults.begin());
        }
        if (refuse) {
            error = 111;
            return -1;
        }
        return 0;
    }
    void SetNoDelay(SocketHandle socket) override { noDelay.insert(socket); }
    void SetSendTimeout(SocketHandle socket, int milliseconds) override {
        sendTimeouts[socket] = milliseconds;
    }
    bool PeerClosed(SocketHandle socket) override {
        if (!peerClosed.contains(socket)) {
            return false;
        }
        error = 104;
        return true;
    }
    long Send(SocketHandle socket, std::span<const uint8_t> bytes) override {
        ++sendCalls;
        if (!open.contains(socket)) {
            error = 9;  // not a socket (any more)
            return -1;
        }
        bool fail = failSends > 0;
        if (!sendResults.empty()) {
            fail = !sendResults.front();
            sendResults.erase(sendResults.begin());
        } else if (fail) {
            --failSends;
        }
        if (fail) {
            error = 32;
            return -1;
        }
        const size_t taken = std::min(bytes.size(), maxSendBytes);
        if (keepSent) {
            auto& kept = sent[socket];
            kept.insert(kept.end(), bytes.begin(), bytes.begin() + static_cast<long>(taken));
        }
        return static_cast<long>(taken);
    }
    void Close(SocketHandle socket) override {
        open.erase(socket);
        closed.push_back(socket);
    }
    std::optional<SocketEnd> LocalEnd(SocketHandle socket) override {
        if (!open.contains(socket)) {
            return std::nullopt;
        }
        return SocketEnd{localAddress, static_cast<uint16_t>(firstLocalPort + socket)};
    }
    int LastError() override { return error; }
    std::optional<std::string> HostName() override { return hostName; }
    std::optional<uint32_t> ResolveFirstIPv4(const std::string& name) override {
        resolved.push_back(name);
        return hostAddress;
    }

    // Script.
    SocketsStartup startup{0, "Fake sockets", "Running"};
    int cleanupResult = 0;
    bool failOpen = false;
    bool refuseConnects = false;
    std::vector<bool> connectResults;   // consumed first; true = accept
    std::vector<bool> sendResults;      // consumed first; true = the send goes through
    int failSends = 0;                  // then the next this many sends fail
    size_t maxSendBytes = SIZE_MAX;     // a send writes at most this many bytes
    bool keepSent = true;               // false: what is sent is only counted
    std::set<SocketHandle> peerClosed;  // connections the peer has closed
    std::optional<std::string> hostName = std::string("guard");
    std::optional<uint32_t> hostAddress = 0x7F000001;
    // Each socket's local end is this address and firstLocalPort + its handle.
    uint32_t localAddress = 0x7F000001;
    uint16_t firstLocalPort = 50000;

    // Record.
    int startups = 0;
    int cleanups = 0;
    int error = 0;
    SocketHandle nextSocket = 3;
    std::set<SocketHandle> open;
    std::set<SocketHandle> noDelay;
    std::map<SocketHandle, int> sendTimeouts;
    int sendCalls = 0;
    std::vector<SocketHandle> closed;
    std::vector<ConnectCall> connects;
    std::map<SocketHandle, std::vector<uint8_t>> sent;
    std::vector<std::string> resolved;
};

}  // namespace korvane
