#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace korvane {

// The ones' complement sum of IPv4 and TCP (RFC 1071): big-endian 16-bit words, an odd last
// byte padded with zero, added after `initial` (a partial sum, such as the TCP pseudo header's)
// and folded to 16 bits. Not inverted: a header whose checksum is right sums to 0xFFFF.
inline uint32_t OnesComplementSum(std::span<const uint8_t> bytes, uint32_t initial = 0) {
    // 32-bit big-endian words summed in 64 bits: 2^16 is 1 in ones' complement arithmetic, so
    // folding their sum gives the sum of the 16-bit words, and no IPv4 length can carry out.
    const uint8_t* p = bytes.data();
    const size_t n = bytes.size();
    uint64_t sum = initial;
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        sum += uint32_t{p[i]} << 24 | uint32_t{p[i + 1]} << 16 | uint32_t{p[i + 2]} << 8 |
               uint32_t{p[i + 3]};
    }
    if (i + 2 <= n) {
        sum += uint32_t{p[i]} << 8 | uint32_t{p[i + 1]};
        i += 2;
    }
    if (i < n) {
        sum += uint32_t{p[i]} << 8;
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
