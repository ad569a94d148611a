#pragma once

#include <array>
#include <cstdint>

#include "platform/capture_library.h"

namespace korvane {

using PortFilterProgram = std::array<BpfInstruction, 20>;
using HostFilterProgram = std::array<BpfInstruction, 10>;

// Passes TCP, UDP or SCTP frames to `port` over IPv4 (unfragmented or first fragment) or IPv6,
// whole: up to kLargestFrame bytes of each.
PortFilterProgram MakePortFilter(uint16_t port);

// Passes IPv4 frames to `address` (host order) and ARP or RARP frames whose target protocol
// address it is, keeping 176 bytes of each: 96 and the longest IPv4 and TCP options.
HostFilterProgram MakeHostFilter(uint32_t address);

}  // namespace korvane
