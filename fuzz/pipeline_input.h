#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "capture/byte_reader.h"

namespace korvane::fuzz {

// The input of the capture pipeline target, and how seeds are written in it.
//
//   byte 0   switches, one bit each (below)
//   byte 1   "/time:" in minutes; 0 for no announcements
//   then steps back to back, each an opcode byte whose value modulo 4 says what follows:
//   0 frame     u8 player, u8 shape, u16 payload length, the payload: one frame from player
//               127.0.0.(2 + player % 8), port 40000 + player % 8 (+ 8 with the player's bit 3:
//               a second connection behind the address), to the server 127.0.0.1:2300 (the
//               shape bits below change that), taken through the capture walk. Bits 4 and 5 of
//               the player byte set TCP flags: 1 SYN, 2 FIN, 3 RST. Each connection's sequence
//               numbers count on by the payloads sent, unless the shape says otherwise; its
//               frames acknowledge the server's SYN-ACK, but for odd payload lengths. Bit 6
//               makes the frame the server's to the connection (a SYN the server's SYN-ACK),
//               bit 7 gives it a wrong TCP checksum.
//   1 buffer    u16 length, that many bytes: a capture buffer as the driver fills it
//   2 clock     u16: the clock moves on by that many tenths of a second
//   3 link      u8: bits 0-1 make that many of the next sends fail, bit 2 set refuses new
//               connections from now on (clear accepts them), bit 3 has the server close the
//               open connection
// Frames, buffers and clock steps are each followed by the sweep and the announcement tick, as
// in the main loop. Values are little-endian; a step cut short by the end of the input ends it.
struct PipelineInput {
    enum Switch : uint8_t {
        kPuretech = 1,
        kReport = 2,
        kCollect = 4,
        kSilent = 8,
        kTest = 16,
        kDebug = 32,
        kDetectPort = 64,  // else "/port:2300"
        kNoVersion = 128,
    };
    enum Opcode : uint8_t { kFrame = 0, kBuffer = 1, kClock = 2, kLink = 3 };
    enum Shape : uint8_t {
        kOtherPort = 1,     // to port 2301
        kOtherAddress = 2,  // to 127.0.0.9
        kTimestamps = 4,    // TCP time-stamp option
        kIpOption = 8,      // a four-byte IPv4 option
        kCutTo96 = 16,      // captured length cut to 96 bytes, as while detecting the port
        kResend = 32,       // the sequence number of the previous payload's length back
        kAhead = 64,        // a payload's length ahead, leaving a gap; the count does not move
        kFragments = 128,   // in two IPv4 fragments (with kResend the second first)
    };
    enum PlayerBits : uint8_t {
        kSecondConnection = 8,
        kFlagShift = 4,
        kFlagMask = 3,
        kFromServer = 64,
        kBadChecksum = 128,
    };
    enum LinkBits : uint8_t { kFailSendsMask = 3, kRefuseConnects = 4, kServerCloses = 8 };

    static constexpr uint32_t kServerAddress = 0x7F000001;
    static constexpr uint32_t kOtherServerAddress = 0x7F000009;
    static constexpr uint16_t kServerPort = 2300;
    static constexpr uint32_t kFirstPlayerAddress = 0x7F000002;
    static constexpr uint16_t kFirstPlayerPort = 40000;
    static constexpr unsigned kPlayers = 8;
    static constexpr size_t kCutLength = 96;
};

// One step of the input.
struct PipelineStep {
    uint8_t opcode = 0;
    uint8_t player = 0;              // frame
    uint8_t shape = 0;               // frame
    uint8_t link = 0;                // link
    uint16_t tenths = 0;             // clock
    std::span<const uint8_t> bytes;  // the frame's payload, or the buffer
};

// Reads the steps after the two switch bytes.
class PipelineSteps {
  public:
    explicit PipelineSteps(std::span<const uint8_t> input) : input_(input) {}
    // The next step; nothing at the end of the input or at a step cut short.
    std::optional<PipelineStep> Next();

  private:
    ByteReader input_;
    size_t at_ = 2;
};

// The frames frame steps stand for, each connection's sequence numbers counted on: one frame,
// or the fragments of one.
class PipelineFrames {
  public:
    std::vector<std::vector<uint8_t>> Next(const PipelineStep& step);

  private:
    std::array<uint32_t, 2 * PipelineInput::kPlayers> next_{};
};

// Writing seeds.
void AppendFrameStep(std::vector<uint8_t>& input, uint8_t player, uint8_t shape,
                     std::span<const uint8_t> payload);
void AppendClockStep(std::vector<uint8_t>& input, uint16_t tenths);

}  // namespace korvane::fuzz
