#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace korvane {

// A captured frame as the rest of the program reads it.
struct PlainFrame {
    // The frame in the plain layout: 14 Ethernet, 20 IPv4 and 20 TCP header bytes, then the
    // payload. For anything other than IPv4 carrying TCP, the frame as captured.
    std::span<const uint8_t> bytes;
    // Whether the frame is an IPv4 packet (the first fragment or a whole one) carrying TCP
    // whose headers were captured whole.
    bool ipv4Tcp = false;
    // Whether the frame is a fragment of an IPv4 packet carrying TCP: its first (ipv4Tcp is
    // set then) or a later one.
    bool fragment = false;
};

// Reads the real IPv4 header length and TCP data offset of a frame. A frame without options
// is handed on as it is; one with IPv4 or TCP options is rewritten into `scratch` without
// them (header length, total length and data offset adjusted; checksums are left as they
// were, since nothing reads them), so that every offset the program uses holds.
PlainFrame PlainTcpFrame(std::span<const uint8_t> frame, std::vector<uint8_t>& scratch);

}  // namespace korvane
