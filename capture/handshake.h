#pragma once

#include <cstdint>

namespace korvane {

// What the capture showed of a connection's opening: the client's SYN, the server's SYN-ACK
// that acknowledges it, and the client's acknowledgement of that. A connection opened this way
// is the server's once the client acknowledges the SYN-ACK; a spoofer who cannot see the
// SYN-ACK cannot do so.
class Handshake {
  public:
    // The receive window taken where no SYN-ACK showed a larger one: the largest unscaled one.
    static constexpr uint32_t kUnseenWindow = 65535;

    enum class Stage : uint8_t {
        unseen,       // the connection was found open
        synSent,      // the client's SYN, not yet answered in the capture
        synAcked,     // the server's SYN-ACK, waiting for the client's acknowledgement
        established,  // the client acknowledged the SYN-ACK
        refused,      // the server reset the connection before it was established
    };

    // The client's SYN: a new connection on the port, whatever came before.
    void ClientSyn(uint32_t sequence);
    // The server's SYN-ACK. Where the client's SYN was seen, only one that acknowledges it
    // counts. The window is the one it advertises (never scaled in a SYN-ACK).
    void ServerSynAck(uint32_t sequence, uint32_t acknowledgement, uint16_t window);
    // A segment of the client's carrying ACK: whether the connection is established by now.
    bool ClientAcknowledges(uint32_t acknowledgement);
    // The server's RST: a connection not yet established is refused.
    void ServerReset();

    Stage stage() const { return stage_; }
    // The server's receive window: as its SYN-ACK advertised it, but never less than
    // kUnseenWindow. A server that opens with a small window grows it by scaling, which the
    // capture does not show; a window smaller than the server's would lose a connection for good
    // once the capture had missed that many of its bytes.
    uint32_t window() const { return window_; }

  private:
    uint32_t clientSequence_ = 0;  // the client's initial sequence number
    uint32_t serverSequence_ = 0;  // the server's
    uint32_t window_ = kUnseenWindow;
    Stage stage_ = Stage::unseen;
};

}  // namespace korvane
