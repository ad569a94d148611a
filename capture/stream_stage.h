#pragma once

#include <cstdint>
#include <span>

#include "app/event_log.h"
#include "capture/player_table.h"
#include "capture/session_dispatcher.h"
#include "capture/tcp_stream.h"
#include "platform/clock.h"

namespace korvane {

// Between the capture walk and the session dispatcher: every frame to the server is a segment of
// its client's connection, whose record holds the connection's stream. The stream hands on
// exactly the messages the server's TCP hands the game, each as a message captured alone in one
// frame would go; an in-order segment of whole messages is read from the captured frame itself.
class StreamStage final : private TcpStream::Sink {
  public:
    StreamStage(PlayerTable& players, SessionDispatcher& dispatcher, EventLog& log,
                const Clock& clock, TcpStream::Limits limits = {})
        : players_(players), dispatcher_(dispatcher), log_(log), clock_(clock), limits_(limits) {}

    // A frame to the server in the plain layout (the payload at 54).
    void Take(std::span<const uint8_t> frame);

    // Since the start: segments whose bytes were lost to a gap or to a stream out of step, and
    // times out-of-order segments passed a connection's bounds.
    uint64_t gapsGivenUp() const { return gapsGivenUp_; }
    uint64_t boundsHit() const { return boundsHit_; }

  private:
    void Message(std::span<const uint8_t> message) override;

    PlayerTable& players_;
    SessionDispatcher& dispatcher_;
    EventLog& log_;
    const Clock& clock_;
    const TcpStream::Limits limits_;
    PlayerRecord* current_ = nullptr;  // the record whose segment is being taken
    uint64_t gapsGivenUp_ = 0;
    uint64_t boundsHit_ = 0;
};

}  // namespace korvane
