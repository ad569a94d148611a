#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace korvane {

// The ones' complement sum of IPv4 and TCP (RFC 1071): big-endian 16-bit words, an odd last
// byte padded with zero, added after `initial` (a partial sum, such as the TCP pseudo header's)
// and folded to 16 bits. Not inverted: a header whose checksum is right sums to 0xFFFF.
inline uint32_t OnesComplementSum(std::span<const uint8_t> bytes, uint32_t initial = 0) {
    // Eight bytes at a time in the machine's order, with the carries added back in: the ones'
    // complement sum does not depend on byte order, so the folded sum only needs its two bytes
    // swapped on a little-endian machine (RFC 1071).
    const uint8_t* p = bytes.data();
    size_t n = bytes.size();
    uint64_t sum = 0;
    for (; n >= 8; p += 8, n -= 8) {
        uint64_t word;
        std::memcpy(&word, p, 8);
        sum += word;
        sum += sum < word ? 1 : 0;
    }
    uint64_t tail = 0;
    if (n > 0) {
        std::memcpy(&tail, p, n);  // the last bytes, padded with zero
    }
    sum += tail;
    sum += sum < tail ? 1 : 0;
    sum = (sum & 0xFFFFFFFF) + (sum >> 32);
    sum = (sum & 0xFFFF) + (sum >> 16);
    sum = (sum & 0xFFFF) + (sum >> 16);
    sum = (sum & 0xFFFF) + (sum >> 16);
    if constexpr (std::endian::native == std::endian::little) {
        sum = ((sum & 0xFF) << 8) | (sum >> 8);
    }
    sum += initial;
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
