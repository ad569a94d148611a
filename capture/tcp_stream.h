#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace korvane {

// One TCP segment of a client's connection, as the capture showed it.
struct TcpSegment {
    uint32_t sequence = 0;
    std::span<const uint8_t> payload;
    bool syn = false;
    bool fin = false;
    bool rst = false;
    int64_t millis = 0;  // capture time, for how long a gap has waited
    // The server's receive window: once the stream is anchored, a segment that begins this many
    // bytes or more beyond the next byte lies wholly outside it, and the server drops it.
    uint32_t window = 65535;
};

// The bytes of one client connection as the server's TCP hands them to the game, framed into
// session messages by their size word. Segments are put in order by sequence number; bytes
// already taken that come again are dropped, and where held bytes come again the first copy
// stands. A message may span any number of segments, and a segment may carry several messages.
//
// What a stream holds is bounded: the bytes of one message not yet complete (a message is at
// most 32,767 bytes), and out-of-order segments up to Limits. A gap that does not fill is given
// up once it has waited gapMillis (checked as the connection's segments come) or once the
// segments held behind it pass the bounds; the message spanning it is lost, and the stream picks
// up at the first following segment that begins with a valid message header (a size word of at
// least the common header and the token). A bad size word or token where a message should begin
// puts the stream out of step the same way. Once anchored, a segment (an RST too) that begins
// beyond the server's receive window is dropped, as the server's TCP drops it: a blind sender
// cannot move the stream on. A connection found without its handshake is taken
// up at the first segment whose messages frame in step, or at an earlier one that reaches it
// before a message was handed on (the first piece of a message split in two may come last).
class TcpStream {
  public:
    struct Limits {
        size_t maxAheadBytes = 65536;  // one unscaled receive window
        size_t maxAheadSegments = 32;
        int64_t gapMillis = 2000;
    };

    // Receives each whole message, from its size word to its end. The bytes stay valid during
    // the call only.
    class Sink {
      public:
        virtual ~Sink() = default;
        virtual void Message(std::span<const uint8_t> message) = 0;
    };

    // What a segment did besides handing messages on.
    struct Outcome {
        bool differingCopy = false;  // bytes held already came again, and differ
        bool overBound = false;      // out-of-order segments passed the bounds
        bool gapGivenUp = false;     // bytes were lost to a gap or to being out of step
        bool outsideWindow = false;  // the segment lay wholly outside the window: dropped
    };

    enum class State : uint8_t {
        unanchored,  // no handshake or message header seen yet
        inStep,      // the next byte begins a message or continues the one held
        outOfStep,   // waiting for a segment that begins with a valid header
        closed,      // FIN (drained) or RST: nothing held
    };

    Outcome Take(const TcpSegment& segment, const Limits& limits, Sink& sink);
    // The server reset the connection: nothing held is read any more.
    void Reset() { Release(next_); }

    // Whether part of a message is held: its first bytes, or segments beyond a gap.
    bool HoldsPart() const { return !partial_.empty() || !ahead_.empty(); }
    // Whether segments beyond a gap are held: while a message is handed on, the part of a
    // message held besides it.
    bool HoldsOutOfOrder() const { return !ahead_.empty(); }
    // The bytes held apart from the stream itself.
    size_t HeldBytes() const;
    State state() const { return state_; }
    // The sequence number of the next byte the server reads (once anchored).
    uint32_t next() const { return next_; }

    // Whether `bytes` begins with a valid message header.
    static bool BeginsWithHeader(std::span<const uint8_t> bytes);
    // Whether `bytes` begins with a valid header and every message in it is followed by another
    // valid header or by its end: where a connection found without its handshake may be taken
    // up. The later part of a message split in two may begin like a message; it rarely frames on.
    static bool FramesInStep(std::span<const uint8_t> bytes);

  private:
    struct Held {
        uint32_t sequence = 0;
        bool segmentStart = false;  // begins where its segment began
        std::vector<uint8_t> bytes;
    };

    // The stream goes on from `sequence`. A provisional anchor, taken without a handshake, may
    // still move back to an earlier segment until a message has been handed on.
    void Anchor(uint32_t sequence, bool provisional);
    void Release(uint32_t next);
    // Keeps bytes beyond the next one, where no held bytes are: the first copy stands.
    void Hold(uint32_t sequence, std::span<const uint8_t> bytes, bool segmentStart,
              Outcome& outcome);
    bool OverBounds(const Limits& limits) const;
    // Bytes that begin at next_.
    void TakeInOrder(std::span<const uint8_t> bytes, bool segmentStart, Sink& sink,
                     Outcome& outcome);
    // Held segments that begin at next_, in order.
    void Drain(Sink& sink, Outcome& outcome);
    // Gives gaps up while the held segments pass the bounds or the oldest gap has waited too long.
    void GiveUpWaitedGaps(int64_t now, const Limits& limits, Sink& sink, Outcome& outcome);
    // Gives the gap before the first held segment up and goes on from there.
    void GiveUpGap(int64_t now, Sink& sink, Outcome& outcome);
    void OutOfStep(Outcome& outcome);
    // Whether bytes of an earlier copy that the stream still holds differ from `bytes` at
    // `sequence`.
    bool DiffersFromPartial(uint32_t sequence, std::span<const uint8_t> bytes) const;

    std::vector<uint8_t> partial_;  // the first bytes of a message, ending at next_
    std::vector<Held> ahead_;       // beyond next_, by sequence number, none overlapping
    size_t aheadBytes_ = 0;
    int64_t waitingSince_ = 0;  // when the oldest gap began waiting
    uint32_t next_ = 0;
    uint32_t finAt_ = 0;
    uint32_t anchor_ = 0;
    State state_ = State::unanchored;
    bool finSeen_ = false;
    bool provisional_ = false;
};

}  // namespace korvane
