#include "tools/lzw_encoder.h"

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>

namespace korvane::tools {

namespace {

constexpr uint32_t kDictionaryLimit = 1u << kLzwMaxWidth;  // codes 0..4095
constexpr int kStartWidth = 9;

class BitPacker {
  public:
    void Put(uint32_t code, int width) {
        if (width < 1 || width > 16 || (code >> width) != 0) {
            throw std::invalid_argument("code " + std::to_string(code) + " does not fit " +
                                        std::to_string(width) + " bits");
        }
        pending_ |= code << bits_;
        bits_ += width;
        while (bits_ >= 8) {
            bytes_.push_back(static_cast<uint8_t>(pending_));
            pending_ >>= 8;
            bits_ -= 8;
        }
    }

    std::vector<uint8_t> Finish(size_t padBytes = 0) {
        if (bits_ > 0) {
            bytes_.push_back(static_cast<uint8_t>(pending_));
        }
        bytes_.insert(bytes_.end(), padBytes, 0);
        pending_ = 0;
        bits_ = 0;
        return std::move(bytes_);
    }

  private:
    std::vector<uint8_t> bytes_;
    uint32_t pending_ = 0;
    int bits_ = 0;
};

// The encoder's side of the dictionary. `next` is the number the next entry gets; the decoder
// builds that entry one code later, when it sees the first byte of the following string, so
// the width the decoder reads the next code with is the smallest that holds `next` - 1.
class Dictionary {
  public:
    void Reset() {
        entries_.clear();
        next_ = kLzwFirstFreeCode;
        width_ = kStartWidth;
    }

    // The code for the string `prefix` followed by `byte`, if there is one.
    std::optional<uint16_t> Find(uint16_t prefix, uint8_t byte) const {
        auto found = entries_.find(Key(prefix, byte));
        if (found == entries_.end()) {
            return std::nullopt;
        }
        return found->second;
    }

    bool Full() const { return next_ >= kDictionaryLimit; }

    // Counts one more entry (the decoder builds one for every code but the first after a
    // reset) and widens the codes when the decoder will.
    void Count() {
        ++next_;
        if (next_ > (1u << width_) && width_ < kLzwMaxWidth) {
            ++width_;
        }
    }

    void Add(uint16_t prefix, uint8_t byte) {
        entries_.emplace(Key(prefix, byte), static_cast<uint16_t>(next_));
        Count();
    }

    int width() const { return width_; }

  private:
    static uint32_t Key(uint16_t prefix, uint8_t byte) {
        return (static_cast<uint32_t>(prefix) << 8) | byte;
    }

    std::unordered_map<uint32_t, uint16_t> entries_;
    uint32_t next_ = kLzwFirstFreeCode;
    int width_ = kStartWidth;
};

}  // namespace

std::vector<uint8_t> LzwEncode(std::span<const uint8_t> data, LzwOptions options) {
    BitPacker out;
    size_t at = 0;
    if (options.leadingReset) {
        out.Put(kLzwResetCode, kStartWidth);
    } else {
        // Literals only until the first reset: they read the same whatever the decoder's
        // dictionary holds, and this few of them keep the codes 9 bits wide everywhere.
        size_t literals = std::min(data.size(), kLzwMaxLeadingLiterals);
        for (; at < literals; ++at) {
            out.Put(data[at], kStartWidth);
        }
        if (at == data.size()) {
            out.Put(kLzwEndCode, kStartWidth);
            return out.Finish();
        }
        out.Put(kLzwResetCode, kStartWidth);
    }

    Dictionary dictionary;
    if (at == data.size()) {
        out.Put(kLzwEndCode, dictionary.width());
        return out.Finish();
    }
    uint16_t prefix = data[at++];
    for (; at < data.size(); ++at) {
        uint8_t byte = data[at];
        if (auto longer = dictionary.Find(prefix, byte)) {
            prefix = *longer;
            continue;
        }
        out.Put(prefix, dictionary.width());
        if (!dictionary.Full()) {
            dictionary.Add(prefix, byte);
        } else if (!options.deferReset) {
            // The decoder has just built entry 4095 from this code; start over.
            out.Put(kLzwResetCode, dictionary.width());
            dictionary.Reset();
        }
        prefix = byte;
    }
    out.Put(prefix, dictionary.width());
    // The decoder builds an entry for the last code as well, which may widen the end code.
    if (!dictionary.Full()) {
        dictionary.Count();
    }
    out.Put(kLzwEndCode, dictionary.width());
    return out.Finish();
}

std::vector<uint8_t> PackCodes(std::span<const std::pair<uint16_t, int>> codes, size_t padBytes) {
    BitPacker out;
    for (const auto& [code, width] : codes) {
        out.Put(code, width);
    }
    return out.Finish(padBytes);
}

}  // namespace korvane::tools
