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
    // 32-bit words in the machine's order added into two 64-bit sums, which no carry can leave
    // before 2^32 words and which do not wait for each other; a word's halves count alike once
    // folded, since 2^16 is 1 in ones' complement. The sum does not depend on byte order, so the
    // folded sum only needs its two bytes swapped on a little-endian machine (RFC 1071).
    const uint8_t* p = bytes.data();
    size_t n = bytes.size();
    uint64_t a = 0;
    uint64_t b = 0;
    for (; n >= 16; p += 16, n -= 16) {
        uint32_t words[4];
        std::memcpy(words, p, sizeof words);
        a += words[0];
        b += words[1];
        a += words[2];
        b += words[3];
    }
    for (; n >= 4; p += 4, n -= 4) {
        uint32_t word;
        std::memcpy(&word, p, sizeof word);
        a += word;
    }
    if (n >= 2) {
        uint16_t half;
        std::memcpy(&half, p, sizeof half);
        b += half;
        p += 2;
        n -= 2;
    }
    if (n == 1) {
        const uint8_t last[2] = {*p, 0};  // the last byte, padded with zero
        uint16_t half;
        std::memcpy(&half, last, sizeof half);
        a += half;
    }
    uint64_t sum = a + b;
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
