#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "capture/internet_checksum.h"

namespace korvane::tools {

// TCP flag bits as they stand in byte 13 of the TCP header.
inline constexpr uint8_t kTcpFin = 0x01;
inline constexpr uint8_t kTcpSyn = 0x02;
inline constexpr uint8_t kTcpRst = 0x04;
inline constexpr uint8_t kTcpPsh = 0x08;
inline constexpr uint8_t kTcpAck = 0x10;

// Offsets of a frame without IPv4 or TCP options: Ethernet II (14), IPv4 (20), TCP (20).
inline constexpr size_t kEthernetHeaderLength = 14;
inline constexpr size_t kPlainHeadersLength = 54;

// An IPv4 address (host byte order) and a TCP port.
struct Endpoint {
    uint32_t address = 0;
    uint16_t port = 0;
    bool operator==(const Endpoint&) const = default;
    auto operator<=>(const Endpoint&) const = default;
};

// How the TCP checksum field of a frame is written: the true checksum; the pseudo-header form
// of checksum offload (the folded sum of the pseudo header alone, not inverted, as Linux leaves
// a segment it hands to the device to finish); or the true checksum plus one, which never sums
// right.
enum class TcpChecksum { correct, pseudoHeader, wrong };

// Everything that goes into one Ethernet II / IPv4 / TCP frame.
struct FrameSpec {
    Endpoint source;
    Endpoint destination;
    std::vector<uint8_t> payload;
    uint8_t tcpFlags = kTcpPsh | kTcpAck;
    uint32_t sequence = 0;
    uint32_t acknowledgement = 0;
    uint16_t window = 64240;
    uint16_t ipIdentification = 0;
    uint8_t ttl = 128;
    // Raw option bytes; each list is padded with zero (end-of-options) bytes to a multiple of
    // four. At most 40 bytes each.
    std::vector<uint8_t> ipOptions;
    std::vector<uint8_t> tcpOptions;
    TcpChecksum tcpChecksum = TcpChecksum::correct;
    // Zero means a locally administered address made of 02:00 and the IPv4 address.
    std::array<uint8_t, 6> sourceMac{};
    std::array<uint8_t, 6> destinationMac{};
};

// The whole frame with a correct IPv4 header checksum and the TCP checksum `tcpChecksum` asks
// for. No Ethernet padding is added, so
// a frame without options is exactly 54 bytes plus the payload. Throws std::invalid_argument
// for options longer than 40 bytes or a payload that does not fit an IPv4 packet.
std::vector<uint8_t> BuildFrame(const FrameSpec& layout);

// Numbers each flow's segments as one TCP stream: a frame built through it carries the flow's
// next sequence number, which then moves on by the payload (a SYN counts one). Every flow starts
// at the same number, far from zero.
class FlowNumbering {
  public:
    static constexpr uint32_t kFirstSequence = 0x10000000;

    std::vector<uint8_t> Build(FrameSpec layout);
    // The sequence number the flow's next frame gets.
    uint32_t Next(const Endpoint& source, const Endpoint& destination) const;

  private:
    std::map<std::pair<Endpoint, Endpoint>, uint32_t> next_;
};

// The 12-byte option block Linux puts on every segment: NOP, NOP, timestamp (kind 8, length
// 10, value, echo reply), which makes the TCP data offset 8 (32 bytes).
std::vector<uint8_t> TimestampOption(uint32_t value, uint32_t echoReply);

// A built frame cut into two IPv4 fragments, each with the Ethernet header and the IPv4 header
// of `frame` (its identification too), total length and header checksum made true. The first
// carries the first `firstBytes` bytes of the IP payload at offset 0 with More Fragments set, the
// second the rest with More Fragments clear; Don't Fragment is cleared on both. With `overlap`
// the second starts 8 bytes before the first one's end, carrying the packet's bytes from there
// (the 8 bytes both hold are the same). Throws std::invalid_argument unless `frame` is a whole
// unfragmented IPv4 packet and `firstBytes` a positive multiple of 8 below its IP payload's
// length (at least 16 with `overlap`), and korvane::TruncatedData for a frame too short for its
// headers.
std::vector<std::vector<uint8_t>> FragmentFrame(std::span<const uint8_t> frame, size_t firstBytes,
                                                bool overlap = false);
// Whether the IPv4 header and the TCP checksum of a built frame are correct. Throws
// korvane::TruncatedData for a frame too short to hold the headers it announces.
bool Ipv4ChecksumValid(std::span<const uint8_t> frame);
bool TcpChecksumValid(std::span<const uint8_t> frame);

// Strict dotted-decimal IPv4 text: four decimal numbers 0..255, nothing else. The way back is
// korvane::DottedText.
std::optional<uint32_t> ParseIpv4(std::string_view text);
// "a.b.c.d:port" with a port 0..65535.
std::optional<Endpoint> ParseEndpoint(std::string_view text);
inline bool IsLoopback(uint32_t address) {
    return (address >> 24) == 127;
}

}  // namespace korvane::tools
