#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace korvane {

// The layout of a variant container as a player uploads it; values are little-endian.
//
//   0   4 bytes  "#VBD"
//   12  u32      data area offset: the sections' offsets count from here
//   16  u16      section count
//   20           the directory: per section three u32 kept, u32 stored length, u32 offset from
//                the data area, u16 kept, u8 name length n, then n name bytes
//
// Section 0 holds the variant's name after the first 23 characters of its own name; section 1
// is the compressed chassis record (the chassis id is the u32 at 148 of its expansion);
// section 2 the compressed component list. The container's own length is 20, plus 23 + n per
// entry, plus every stored length.
struct VariantContainer {
    static constexpr std::string_view kMagic = "#VBD";
    static constexpr size_t kDataOffsetOffset = 12;
    static constexpr size_t kCountOffset = 16;
    static constexpr size_t kDirectoryOffset = 20;

    static constexpr size_t kEntryStoredLengthOffset = 12;
    static constexpr size_t kEntrySectionOffsetOffset = 16;
    static constexpr size_t kEntryWord20Offset = 20;
    static constexpr size_t kEntryNameLengthOffset = 22;
    static constexpr size_t kEntryNameOffset = 23;

    static constexpr size_t kNameSection = 0;
    static constexpr size_t kChassisSection = 1;
    static constexpr size_t kComponentSection = 2;
    static constexpr size_t kVariantNamePrefix = 23;
    static constexpr size_t kChassisIdOffset = 148;

    // The variant's name in the name of section 0: what follows its first 23 characters.
    static constexpr std::string_view VariantNameIn(std::string_view sectionName) {
        return sectionName.substr(sectionName.size() < kVariantNamePrefix ? sectionName.size()
                                                                          : kVariantNamePrefix);
    }
};

// One entry of a container's directory. The name and the stored bytes are views into the
// container, which outlives the directory.
struct VariantSection {
    uint32_t kept0 = 0;
    uint32_t kept4 = 0;
    uint32_t kept8 = 0;
    uint32_t storedLength = 0;
    uint32_t sectionOffset = 0;
    uint16_t kept20 = 0;
    uint8_t nameLength = 0;
    std::string_view name;
    // Empty when the section lies outside the container.
    std::span<const uint8_t> stored;
    // False when the section's bytes lie, wholly or partly, outside the container.
    bool inside = false;
};

// The directory of the container being decoded.
class VariantDirectory {
  public:
    // Reads the directory of the received container bytes and returns the container's own
    // length. A directory whose entries run past the received bytes gives a length greater
    // than their count, found without reading past them; lengths are summed without wrapping.
    uint64_t ParseVariantDirectory(std::span<const uint8_t> container);
    // Forgets the directory; nothing happens when there is none.
    void Release() { sections_.clear(); }

    std::span<const VariantSection> sections() const { return sections_; }
    // False when a section's bytes lie, wholly or partly, outside the received container.
    bool sectionsInside() const { return sectionsInside_; }
    // The header's data area offset and section count, as the latest parse read them; 0 when
    // the container was too short to hold them.
    uint32_t dataOffset() const { return dataOffset_; }
    size_t declaredCount() const { return declaredCount_; }

  private:
    std::vector<VariantSection> sections_;
    uint32_t dataOffset_ = 0;
    size_t declaredCount_ = 0;
    bool sectionsInside_ = true;
};

}  // namespace korvane
