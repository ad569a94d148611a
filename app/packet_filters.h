#pragma once

#include <array>
#include <cstdint>

#include "platform/capture_library.h"

namespace korvane {

using PortFilterProgram = std::array<BpfInstruction, 31>;
using HostFilterProgram = std::array<BpfInstruction, 10>;

// Passes TCP, UDP or SCTP frames to `port` over IPv4 (unfragmented or first fragment) or IPv6,
// and later IPv4 fragments to `address` (host order), whole: up to kLargestFrame bytes of each.
// Passes the headers of the server's own TCP segments from `address` and `port` that carry SYN
// or RST, for the connections' handshakes.
PortFilterProgram MakePortFilter(uint16_t port, uint32_t address);

// Passes IPv4 frames to `address` (host order) and ARP or RARP frames whose target protocol
// address it is, keeping 176 bytes of each: 96 and the longest IPv4 and TCP options.
HostFilterProgram MakeHostFilter(uint32_t address);

}  // namespace korvane
