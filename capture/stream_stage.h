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
//
// Only a connection the server opened counts. One whose handshake the capture shows is trusted
// once the client acknowledges the server's SYN-ACK. One found already open is trusted on the
// continuity of its bytes while the run is young (kStartupMillis from the start), or
// while the capture has shown none of the server's segments (a capture of one direction, where
// handshakes cannot be followed); otherwise it is a spoofer's, or one whose handshake the capture
// lost, and is not trusted. Nothing of a connection not trusted reaches the dispatcher.
class StreamStage final : private TcpStream::Sink {
  public:
    // How long after the first segment a connection found open is still taken on continuity.
    static constexpr int64_t kStartupMillis = 60000;

    StreamStage(PlayerTable& players, SessionDispatcher& dispatcher, EventLog& log,
                const Clock& clock, TcpStream::Limits limits = {})
        : players_(players),
          dispatcher_(dispatcher),
          log_(log),
          clock_(clock),
          limits_(limits),
          startMillis_(clock.Now().Millis()) {}

    // A frame to the server in the plain layout (the payload at 54).
    void Take(std::span<const uint8_t> frame);
    // A frame of the server's from its port, in the plain layout: its SYN-ACKs and RSTs.
    void TakeServer(std::span<const uint8_t> frame);

    // Since the start: times out-of-order segments passed a connection's bounds; segments
    // dropped for lying outside their connection's window; connections not trusted.
    uint64_t boundsHit() const { return boundsHit_; }
    uint64_t outsideWindow() const { return outsideWindow_; }
    uint64_t untrusted() const { return untrusted_; }

  private:
    struct ClientSegment;
    void Message(std::span<const uint8_t> message) override;
    // Whether the segment's bytes may go to the connection's stream, deciding the connection's
    // trust where it is undecided.
    bool Admit(PlayerRecord& record, const ClientSegment& segment);
    void Distrust(PlayerRecord& record);

    PlayerTable& players_;
    SessionDispatcher& dispatcher_;
    EventLog& log_;
    const Clock& clock_;
    const TcpStream::Limits limits_;
    PlayerRecord* current_ = nullptr;  // the record whose segment is being taken
    const int64_t startMillis_;        // when the run began, by its clock
    uint64_t serverSegments_ = 0;      // frames of the server's the capture has shown
    bool oneWayWarned_ = false;
    uint64_t boundsHit_ = 0;
    uint64_t outsideWindow_ = 0;
    uint64_t untrusted_ = 0;
};

}  // namespace korvane
