#pragma once

#include <cstdint>
#include <optional>

#include "app/event_log.h"
#include "app/run_settings.h"
#include "platform/sockets.h"

namespace korvane {

// The program's own TCP connection to the game server, on which chat lines and player
// removals are written. Nothing is ever read from it.
class ServerLink {
  public:
    ServerLink(Sockets& sockets, EventLog& log, const RunSettings& settings)
        : sockets_(sockets), log_(log), settings_(settings) {}

    // Starts the sockets layer and logs what it reported; returns its result code.
    int StartSockets();
    // Stops the sockets layer and logs its result code; returns it.
    int StopSockets();
    // Connects to the server's address at `port`, replacing (and closing) the previous socket.
    // 0 when the link is up, -1 when the attempt failed. In test mode no connection is made.
    int ConnectToServer(int32_t port);

    SocketHandle linkSocket() const { return linkSocket_; }
    bool linkUp() const { return linkUp_; }
    // The link's own end of the connection while it is up: frames from it are the program's
    // own, not a player's.
    std::optional<SocketEnd> localEnd() const { return linkUp_ ? localEnd_ : std::nullopt; }
    Sockets& sockets() { return sockets_; }

  private:
    Sockets& sockets_;
    EventLog& log_;
    const RunSettings& settings_;
    SocketHandle linkSocket_ = kNoSocket;
    bool linkUp_ = false;
    std::optional<SocketEnd> localEnd_;
};

}  // namespace korvane
