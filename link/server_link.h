#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "app/event_log.h"
#include "app/run_settings.h"
#include "platform/sockets.h"

namespace korvane {

// How a delivery on the link ended.
enum class Delivery {
    sent,      // the attempt succeeded
    linkDown,  // an attempt failed and the link could not be connected again
    gaveUp,    // every attempt failed although the link kept coming back
};

// The program's own TCP connection to the game server, on which chat lines and player
// removals are written. Nothing is ever read from it.
class ServerLink {
  public:
    // How long one send may wait for a server that takes nothing in before it counts as failed:
    // a stalled server must not stall the guard with it.
    static constexpr int kSendTimeoutMs = 5000;

    ServerLink(Sockets& sockets, EventLog& log, const RunSettings& settings)
        : sockets_(sockets), log_(log), settings_(settings) {}

    // Starts the sockets layer and logs what it reported; returns its result code.
    int StartSockets();
    // Stops the sockets layer and logs its result code; returns it.
    int StopSockets();
    // Connects to the server's address at `port`, replacing (and closing) the previous socket.
    // 0 when the link is up, -1 when the attempt failed. In test mode no connection is made.
    int ConnectToServer(int32_t port);

    // Writes a whole session message on the link: 0 once every byte is written, -1 when a send
    // fails or the server has closed the connection (LastError() tells why). A send that takes
    // only part of the message is followed by sends of the rest, so the server's stream never
    // holds a cut message unless the connection itself fails.
    int SendMessage(std::span<const uint8_t> message);
    // Runs `attempt` (0 on success, -1 on failure) until it succeeds. After each failure the
    // link is connected anew; when that fails the delivery ends, otherwise `attempt` runs again,
    // at most `maxRetries` times, so a server that accepts connections but fails every send
    // cannot hold the program.
    Delivery Deliver(int maxRetries, const std::function<int()>& attempt);
    // The error code of the latest failed socket call.
    int LastError() { return sockets_.LastError(); }

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
