#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace korvane::tools {

// Variant sections are compressed with LZW exactly like GIF image data with a minimum code size
// of 8: codes 0..255 stand for themselves, 256 resets the dictionary, 257 ends the stream, new
// entries are numbered from 258. Codes start 9 bits wide and grow by one bit (up to 12) when the
// next entry the decoder builds reaches 512, 1024 or 2048; they are packed least significant
// bit first. After a reset the decoder builds no entry for the first code, so the entry for 511
// comes with the 255th code and the 256th code is 10 bits wide. At most 4096 codes exist.
inline constexpr uint16_t kLzwResetCode = 256;
inline constexpr uint16_t kLzwEndCode = 257;
inline constexpr uint16_t kLzwFirstFreeCode = 258;
inline constexpr int kLzwMaxWidth = 12;
// Without a leading reset at most this many bytes go out as literal codes before the first
// reset (see LzwOptions::leadingReset).
inline constexpr size_t kLzwMaxLeadingLiterals = 253;

struct LzwOptions {
    // Start the stream with a reset code, as encoders do. Without it, decoders disagree about
    // the dictionary before the first reset (a GIF decoder starts as after a reset; the game's
    // start state, previous code 0, makes the very first code build an entry). So the stream
    // then starts with up to kLzwMaxLeadingLiterals bytes as plain 9-bit literal codes, which
    // mean the same to both, followed by a reset if more data comes.
    bool leadingReset = true;
    // When the dictionary is full (entry 4095 built), keep emitting 12-bit codes without new
    // entries instead of emitting a reset and starting over. Both are valid GIF data.
    bool deferReset = false;
};

// `data` as an LZW stream ending with the end code, padded with zero bits to a whole byte.
std::vector<uint8_t> LzwEncode(std::span<const uint8_t> data, LzwOptions options = {});

// Codes packed least significant bit first, each at the given width (1 to 16 bits), e.g.
// {{256, 9}, {65, 9}, {66, 9}, {258, 9}, {257, 9}}, for hand-made streams. The last byte is
// padded with zero bits, then `padBytes` zero bytes follow. Throws std::invalid_argument for a
// width out of range or a code that does not fit its width.
std::vector<uint8_t> PackCodes(std::span<const std::pair<uint16_t, int>> codes,
                               size_t padBytes = 0);

}  // namespace korvane::tools
