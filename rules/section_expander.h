#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace korvane {

// Expands the LZW-compressed sections of a variant container into one expansion area that each
// expansion overwrites from its start. Codes are 9 to 12 bits wide, packed least significant
// bit first; 256 resets the dictionary and 257 ends the section. The dictionary, the area and
// the buffer a code's string is gathered in are the expander's own: expanding allocates
// nothing.
class SectionExpander {
  public:
    // Room for the expansion of any section a variant of at most 16 KiB holds, with a wide
    // margin: damaged or hostile streams that would expand further fail instead.
    static constexpr size_t kAreaBytes = 1 << 20;
    static constexpr size_t kDictionaryEntries = 4096;
    // A code's string is found by following prefixes; a chain longer than this is damaged.
    static constexpr size_t kMaxChainSteps = 4096;

    SectionExpander() : area_(kAreaBytes) {}

    // Expands a section's stored bytes into the area; the number of bytes written, or nothing
    // when the stream is damaged (a prefix chain that does not end, or an expansion that does
    // not fit the area). A stream ends at the end code, or where fewer than three bytes remain.
    std::optional<size_t> ExpandSection(std::span<const uint8_t> stored);

    // The first `count` bytes of the area, as the latest expansion left them.
    std::span<const uint8_t> Expanded(size_t count) const {
        return std::span<const uint8_t>(area_).first(count);
    }

  private:
    size_t LengthOf(uint16_t code) const { return code < 256 ? 1 : length_[code]; }
    // Writes the string of a dictionary code, `length` bytes as its entry says, straight into
    // the area at `out`; false when its chain of prefixes is not that long, as only a damaged
    // stream's can be.
    bool WriteString(uint16_t code, uint8_t* out, size_t length);
    // The same for any chain: gathered backwards first, then copied to the area at `written`;
    // the string's length, or nothing when the chain does not end or the string does not fit.
    std::optional<size_t> GatherString(uint16_t code, size_t written);

    std::vector<uint8_t> area_;
    std::array<uint16_t, kDictionaryEntries> prefix_{};
    std::array<uint8_t, kDictionaryEntries> suffix_{};
    // The length of each entry's string as it was built (only checked, never trusted).
    std::array<uint16_t, kDictionaryEntries> length_{};
    // A code's string is gathered backwards, ending at kMaxChainSteps + 1, then copied out.
    std::array<uint8_t, kMaxChainSteps + 1> reversed_{};
};

}  // namespace korvane
