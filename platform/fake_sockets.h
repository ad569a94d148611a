#pragma once

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
    long Send(SocketHandle socket, std::span<const uint8_t> bytes) override {
        if (failSends > 0) {
            --failSends;
            error = 32;
            return -1;
        }
        auto& kept = sent[socket];
        kept.insert(kept.end(), bytes.begin(), bytes.end());
        return static_cast<long>(bytes.size());
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
    std::vector<bool> connectResults;  // consumed first; true = accept
    int failSends = 0;
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
    std::vector<SocketHandle> closed;
    std::vector<ConnectCall> connects;
    std::map<SocketHandle, std::vector<uint8_t>> sent;
    std::vector<std::string> resolved;
};

}  // namespace korvane
