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

    SectionExpander() : area_(kAreaBytes + kCopyBytes) {}

    // Expands a section's stored bytes into the area; the number of bytes written, or nothing
    // when the stream is damaged (a prefix chain that does not end, or an expansion that does
    // not fit the area). A stream ends at the end code, or where fewer than three bytes remain.
    std::optional<size_t> ExpandSection(std::span<const uint8_t> stored);

    // The first `count` bytes of the area, as the latest expansion left them.
    std::span<const uint8_t> Expanded(size_t count) const {
        return std::span<const uint8_t>(area_).first(count);
    }

  private:
    // Short strings are copied as one block of this size: the area and the reversal buffer
    // have that much room to spare past their ends.
    static constexpr size_t kCopyBytes = 16;

    std::vector<uint8_t> area_;
    std::array<uint16_t, kDictionaryEntries> prefix_{};
    std::array<uint8_t, kDictionaryEntries> suffix_{};
    // A code's string is gathered backwards, ending at kMaxChainSteps + 1, then copied out.
    std::array<uint8_t, kMaxChainSteps + 1 + kCopyBytes> reversed_{};
};

}  // namespace korvane
