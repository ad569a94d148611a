#include "rules/section_expander.h"

#include <cstring>

namespace korvane {

namespace {
constexpr uint16_t kResetCode = 256;
constexpr uint16_t kEndCode = 257;
constexpr uint16_t kFirstFreeCode = 258;
constexpr unsigned kStartWidth = 9;
constexpr unsigned kMaxWidth = 12;

// Reads the codes of a section: the 24 bits at the byte position, little-endian, shifted by the
// bit offset and masked to the current width. A code is read only while three bytes remain.
class CodeReader {
  public:
    explicit CodeReader(std::span<const uint8_t> stored) : stored_(stored) {}

    bool CanRead() const { return position_ + 3 <= stored_.size(); }
    uint16_t Read(unsigned width) {
        const uint32_t bits = static_cast<uint32_t>(stored_[position_]) |
                              (static_cast<uint32_t>(stored_[position_ + 1]) << 8) |
                              (static_cast<uint32_t>(stored_[position_ + 2]) << 16);
        const auto code = static_cast<uint16_t>((bits >> bitOffset_) & ((1u << width) - 1));
        bitOffset_ += width;
        position_ += bitOffset_ / 8;
        bitOffset_ %= 8;
        return code;
    }

  private:
    std::span<const uint8_t> stored_;
    size_t position_ = 0;
    unsigned bitOffset_ = 0;
};
}  // namespace

std::optional<size_t> SectionExpander::ExpandSection(std::span<const uint8_t> stored) {
    // Every expansion starts from the same dictionary, whatever the one before left in it.
    prefix_.fill(0);
    suffix_.fill(0);
    unsigned width = kStartWidth;
    size_t growthLimit = size_t{1} << kStartWidth;
    size_t nextFree = kFirstFreeCode;
    uint16_t previous = 0;
    uint8_t firstByte = 0;
    size_t written = 0;
    uint8_t* const area = area_.data();

    CodeReader codes(stored);
    while (codes.CanRead()) {
        uint16_t code = codes.Read(width);
        if (code == kEndCode) {
            break;
        }
        if (code == kResetCode) {
            width = kStartWidth;
            growthLimit = size_t{1} << kStartWidth;
            nextFree = kFirstFreeCode;
            if (!codes.CanRead()) {
                break;
            }
            // The code after a reset stands for its low byte alone and builds no entry.
            code = codes.Read(kStartWidth);
            if (written == kAreaBytes) {
                return std::nullopt;
            }
            area[written++] = static_cast<uint8_t>(code);
            previous = code;
            firstByte = static_cast<uint8_t>(code);
            continue;
        }

        if (code < 256) {
            if (written == kAreaBytes) {
                return std::nullopt;
            }
            area[written++] = static_cast<uint8_t>(code);
            firstByte = static_cast<uint8_t>(code);
        } else {
            if (code >= nextFree) {
                // The entry about to be built: the previous string and its own first byte.
                prefix_[code] = previous;
                suffix_[code] = firstByte;
                length_[code] = static_cast<uint16_t>(LengthOf(previous) + 1);
            }
            const size_t length = length_[code];
            if (length <= kAreaBytes - written && WriteString(code, area + written, length)) {
                firstByte = area[written];
                written += length;
            } else if (const std::optional<size_t> gathered = GatherString(code, written)) {
                firstByte = area[written];
                written += *gathered;
            } else {
                return std::nullopt;
            }
        }

        // With the width at its widest and the dictionary full, entries wait for a reset.
        if (nextFree < kDictionaryEntries) {
            prefix_[nextFree] = previous;
            suffix_[nextFree] = firstByte;
            length_[nextFree] = static_cast<uint16_t>(LengthOf(previous) + 1);
            ++nextFree;
        }
        previous = code;
        if (nextFree >= growthLimit && width < kMaxWidth) {
            ++width;
            growthLimit *= 2;
        }
    }
    return written;
}

bool SectionExpander::WriteString(uint16_t code, uint8_t* out, size_t length) {
    // From its last byte back, as the prefixes lead; only when the chain is exactly as long as
    // the entry was built with, which any stream that is not damaged keeps to.
    uint8_t* at = out + length;
    uint16_t link = code;
    for (size_t left = length; left > 1; --left) {
        if (link < 256) {
            return false;
        }
        *--at = suffix_[link];
        link = prefix_[link];
    }
    if (link >= 256) {
        return false;
    }
    *--at = static_cast<uint8_t>(link);
    return true;
}

std::optional<size_t> SectionExpander::GatherString(uint16_t code, size_t written) {
    uint8_t* const gathered = reversed_.data() + kMaxChainSteps + 1;
    uint8_t* start = gathered;
    uint16_t link = code;
    size_t steps = 0;
    do {
        if (steps++ == kMaxChainSteps) {
            return std::nullopt;
        }
        *--start = suffix_[link];
        link = prefix_[link];
    } while (link >= 256);
    *--start = static_cast<uint8_t>(link);
    const auto length = static_cast<size_t>(gathered - start);
    if (length > kAreaBytes - written) {
        return std::nullopt;
    }
    std::memcpy(area_.data() + written, start, length);
    return length;
}

}  // namespace korvane
