#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tools/unique_fd.h"

namespace korvane::tools {

// What the stand-in game server is told on its command line.
struct StandinOptions {
    std::string address = "127.0.0.1";  // a 127.x.y.z address unless `outsideLoopback`
    uint16_t port = 0;                  // 0: any free port
    std::string portFile;               // empty: none
    int seconds = 30;                   // 1..600
    std::string dumpPrefix;             // empty: no dump files
    long dropAfter = 0;                 // 0: never drop
    bool quietStream = false;
    bool refuse = false;  // reset every connection as soon as it is accepted
    // Any address but 0.0.0.0 may be given: one of a network namespace the caller made.
    bool outsideLoopback = false;
};

inline constexpr int kStandinMaxSeconds = 600;

// The outcome of reading the command line (the arguments after the program name).
struct StandinCommandLine {
    std::optional<StandinOptions> options;  // nothing when `error` or `help` is set
    std::string error;
    bool help = false;
};
StandinCommandLine ParseStandinCommandLine(std::span<const std::string> args);
std::string StandinUsage();

// A single-threaded TCP server on a loopback address (or, when told, on one address of a
// namespace made for it) that stands in for the game server. It
// accepts any number of connections, never sends anything, and reports what arrives, one line
// per event, through the line sink:
//   standin: listening on <addr>:<port>
//   standin: connection <n> from <addr>:<port>
//   [<n>] <decoded message or bad header line>
//   standin: dropping connection <n> after <m> messages
//   standin: refusing connection <n>
//   standin: connection <n> closed after <bytes> bytes
//   standin: stopping after <s> seconds      (or: standin: stopping on signal)
// Connections are numbered from 1. At the stop, whatever had arrived by then is still
// reported: connections waiting to be accepted and bytes not yet read. Then the connections
// still open are reported closed, and the stopping line is always the last one.
class StandinServer {
  public:
    using LineSink = std::function<void(const std::string&)>;

    StandinServer(StandinOptions options, LineSink sink);
    ~StandinServer();
    StandinServer(const StandinServer&) = delete;
    StandinServer& operator=(const StandinServer&) = delete;

    // Binds and listens, prints the listening line and writes the port file; the time limit
    // runs from here. False with `error` filled when any of it fails.
    bool Listen(std::string& error);
    uint16_t port() const { return boundPort_; }

    // Serves until the time limit has passed or `stopRequested` returns true (checked at
    // least every 100 ms). Returns true when stopped by the request.
    bool Run(const std::function<bool()>& stopRequested);

  private:
    struct Connection;
    enum class Received { drained, more, closed };

    // Accepts what is waiting; when out of descriptors, the listener rests for a while.
    void Accept();
    // Reads a bounded number of chunks, so a busy sender cannot hold off the others or the
    // stop: `drained` when nothing more is waiting, `more` when there may be, `closed` when
    // the connection is to be closed.
    Received Receive(Connection& connection);
    // The last pass before the stop: accepts and reads all that has arrived, then closes.
    void Finish();
    void Close(Connection& connection);

    StandinOptions options_;
    LineSink sink_;
    UniqueFd listenSocket_;
    uint16_t boundPort_ = 0;
    std::chrono::steady_clock::time_point deadline_;
    std::chrono::steady_clock::time_point acceptRestsUntil_;
    bool outOfDescriptors_ = false;
    int connectionsSeen_ = 0;
    std::vector<std::unique_ptr<Connection>> connections_;
};

}  // namespace korvane::tools
