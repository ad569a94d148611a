#pragma once

#include <cstdint>
#include <span>

namespace korvane {

// Whether a captured IPv4 frame's checksums are ones the receiving stack takes: its IPv4 header
// checksum, and for TCP the checksum over the pseudo header and the segment. A frame cut short
// by the capture cannot show its TCP checksum and is taken on its header's.
//
// With checksum offload, a frame captured before the sender's adapter filled its checksums
// holds only the pseudo header's sum in the TCP checksum (and may hold zero in the IPv4 one):
// every frame on the loopback adapter, and the guarded host's own. That form is taken only from
// a local sender, loopback or `localAddress` (host order), so that no remote sender can use it
// to put bytes before the guard that the server drops.
bool Ipv4HeaderChecksumHolds(std::span<const uint8_t> frame, uint32_t localAddress);
bool ChecksumsHold(std::span<const uint8_t> frame, uint32_t localAddress);

}  // namespace korvane
