#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace korvane {

// The ones' complement sum of IPv4 and TCP (RFC 1071): big-endian 16-bit words, an odd last
// byte padded with zero, added after `initial` (a partial sum, such as the TCP pseudo header's)
// and folded to 16 bits. Not inverted: a header whose checksum is right sums to 0xFFFF.
inline uint32_t OnesComplementSum(std::span<const uint8_t> bytes, uint32_t initial = 0) {
    uint64_t sum = initial;
    size_t i = 0;
    for (; i + 1 < bytes.size(); i += 2) {
        sum += static_cast<uint32_t>((bytes[i] << 8) | bytes[i + 1]);
    }
    if (i < bytes.size()) {
        sum += static_cast<uint32_t>(bytes[i] << 8);
    }
    while (sum > 0xFFFF) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<uint32_t>(sum);
}

// The folded sum of the TCP pseudo header: both addresses (host order), the protocol and the
// TCP length (header and payload).
inline uint32_t PseudoHeaderSum(uint32_t source, uint32_t destination, uint8_t protocol,
                                size_t tcpLength) {
    uint64_t sum = (source >> 16) + (source & 0xFFFF) + (destination >> 16) +
                   (destination & 0xFFFF) + protocol + (tcpLength & 0xFFFF) + (tcpLength >> 16);
    while (sum > 0xFFFF) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<uint32_t>(sum);
}

}  // namespace korvane
