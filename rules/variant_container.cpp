#include "rules/variant_container.h"

#include <algorithm>

#include "capture/byte_reader.h"

namespace korvane {

uint64_t VariantDirectory::ParseVariantDirectory(std::span<const uint8_t> container) {
    using Layout = VariantContainer;
    Release();
    sectionsInside_ = true;
    dataOffset_ = 0;
    declaredCount_ = 0;
    const ByteReader reader(container);
    // Whatever does not fit the received bytes makes the container longer than they are.
    const uint64_t tooLong = uint64_t{container.size()} + 1;
    if (!reader.Has(Layout::kCountOffset, 2)) {
        return std::max<uint64_t>(Layout::kDirectoryOffset, tooLong);
    }
    dataOffset_ = reader.U32(Layout::kDataOffsetOffset);
    declaredCount_ = reader.U16(Layout::kCountOffset);
    const uint64_t dataOffset = dataOffset_;
    const size_t count = declaredCount_;

    uint64_t storedTotal = 0;
    size_t at = Layout::kDirectoryOffset;
    for (size_t n = 0; n < count; ++n) {
        if (!reader.Has(at, Layout::kEntryNameOffset)) {
            return tooLong;
        }
        VariantSection section;
        section.kept0 = reader.U32(at);
        section.kept4 = reader.U32(at + 4);
        section.kept8 = reader.U32(at + 8);
        section.storedLength = reader.U32(at + Layout::kEntryStoredLengthOffset);
        section.sectionOffset = reader.U32(at + Layout::kEntrySectionOffsetOffset);
        section.kept20 = reader.U16(at + Layout::kEntryWord20Offset);
        section.nameLength = reader.U8(at + Layout::kEntryNameLengthOffset);
        if (!reader.Has(at + Layout::kEntryNameOffset, section.nameLength)) {
            return tooLong;
        }
        const std::span<const uint8_t> name =
            reader.Bytes(at + Layout::kEntryNameOffset, section.nameLength);
        section.name = std::string_view(reinterpret_cast<const char*>(name.data()), name.size());
        storedTotal += section.storedLength;
        at += Layout::kEntryNameOffset + section.nameLength;
        sections_.push_back(section);
    }
    for (VariantSection& section : sections_) {
        const uint64_t start = dataOffset + section.sectionOffset;
        if (reader.Has(start, section.storedLength)) {
            section.stored = reader.Bytes(start, section.storedLength);
            section.inside = true;
        } else {
            sectionsInside_ = false;
        }
    }
    return at + storedTotal;
}

}  // namespace korvane
