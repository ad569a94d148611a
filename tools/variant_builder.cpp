#include "tools/variant_builder.h"

#include <algorithm>
#include <stdexcept>

#include "tools/little_endian.h"
#include "tools/session_builder.h"

namespace korvane::tools {

namespace {

constexpr std::string_view kExtraSectionName = "Extra";
constexpr size_t kSectionZeroDataLength = 4;
constexpr uint8_t kFirstPieceFlag = 1;  // the byte after the second text

void PutText(std::vector<uint8_t>& out, size_t offset, std::string_view text) {
    std::copy(text.begin(), text.end(), out.begin() + static_cast<long>(offset));
}

// u8 length and the text.
void AppendCounted(std::vector<uint8_t>& out, std::string_view text) {
    if (text.size() > 255) {
        throw std::invalid_argument("text of " + std::to_string(text.size()) +
                                    " bytes does not fit its one-byte length");
    }
    out.push_back(static_cast<uint8_t>(text.size()));
    out.insert(out.end(), text.begin(), text.end());
}

// Deterministic bytes that do not compress much.
class Scrambler {
  public:
    explicit Scrambler(uint32_t seed) : state_(seed * 2654435761u + 1) {}
    uint8_t Next() {
        state_ = state_ * 1103515245u + 12345u;
        return static_cast<uint8_t>(state_ >> 16);
    }

  private:
    uint32_t state_;
};

std::vector<uint8_t> Filler(size_t length) {
    std::vector<uint8_t> bytes(length);
    Scrambler scrambler(static_cast<uint32_t>(length));
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = i % 8 < 4 ? static_cast<uint8_t>(i / 8) : scrambler.Next();
    }
    return bytes;
}

// Section 0's few bytes of data, lengthened by `extra`.
std::vector<uint8_t> SectionZeroData(size_t extra) {
    std::vector<uint8_t> data(kSectionZeroDataLength + extra, 0);
    data[0] = 1;
    return data;
}

std::string HexText(uint32_t value) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (int shift = 28; shift >= 0; shift -= 4) {
        text.push_back(kDigits[(value >> shift) & 0xF]);
    }
    return text;
}

}  // namespace

std::vector<uint8_t> ChassisRecord(uint32_t chassisId) {
    std::vector<uint8_t> record(kChassisRecordLength, 0);
    PutU32(record, 0, 3);  // a record version, as a real record starts
    PutText(record, 4, "chassis " + HexText(chassisId));
    // Armour and internal values: small numbers in u16 fields, some zero.
    for (size_t offset = 36; offset + 2 <= kChassisIdOffset; offset += 4) {
        PutU16(record, offset, static_cast<uint32_t>((offset * 7) % 97));
    }
    PutU32(record, kChassisIdOffset, chassisId);
    Scrambler scrambler(chassisId);
    for (size_t offset = kChassisIdOffset + 4; offset < kChassisRecordLength; ++offset) {
        record[offset] = offset % 3 == 0 ? 0 : scrambler.Next();
    }
    return record;
}

std::vector<uint8_t> ComponentList(std::span<const ComponentSpec> components) {
    std::vector<uint8_t> list(kComponentListHeaderLength, 0);
    PutU16(list, 0, static_cast<uint32_t>(components.size()));
    for (size_t index = 0; index < components.size(); ++index) {
        const ComponentSpec& component = components[index];
        if (component.length < kMinComponentLength) {
            throw std::invalid_argument("component length " + std::to_string(component.length) +
                                        " leaves no room for the id at 86");
        }
        std::vector<uint8_t> entry(static_cast<size_t>(component.length), 0);
        PutU16(entry, 0, static_cast<uint16_t>(component.length));
        PutU16(entry, 2, static_cast<uint32_t>(index));
        PutText(entry, 4, "component " + std::to_string(component.id));  // up to 15 bytes
        Scrambler scrambler(component.id * 31u + static_cast<uint32_t>(index));
        for (size_t offset = 36; offset < kComponentIdOffset; ++offset) {
            entry[offset] = scrambler.Next();
        }
        PutU16(entry, kComponentIdOffset, component.id);
        for (size_t offset = kComponentIdOffset + 2; offset < entry.size(); offset += 4) {
            entry[offset] = static_cast<uint8_t>(offset / 4 + index);
        }
        list.insert(list.end(), entry.begin(), entry.end());
    }
    return list;
}

std::vector<uint8_t> BuildContainer(std::span<const SectionSpec> sections) {
    if (sections.size() > 0xFFFF) {
        throw std::invalid_argument("more than 65535 sections");
    }
    size_t directoryLength = 0;
    for (const SectionSpec& section : sections) {
        if (section.name.size() > 255) {
            throw std::invalid_argument("section name longer than 255 bytes");
        }
        directoryLength += kDirectoryEntryLength + section.name.size();
    }
    const size_t dataOffset = kContainerHeaderLength + directoryLength;
    std::vector<uint8_t> container(dataOffset, 0);
    PutText(container, 0, kContainerMagic);
    PutU32(container, 4, 1);
    PutU32(container, kDataOffsetField, static_cast<uint32_t>(dataOffset));
    PutU16(container, kSectionCountField, static_cast<uint32_t>(sections.size()));

    size_t entry = kContainerHeaderLength;
    size_t sectionOffset = 0;
    for (size_t index = 0; index < sections.size(); ++index) {
        const SectionSpec& section = sections[index];
        // The fields the program does not read differ from the ones it does, so that reading
        // the wrong one shows.
        PutU32(container, entry, static_cast<uint32_t>(index));
        PutU32(container, entry + 4, 0x00010000);
        PutU32(container, entry + 8, 0xFFFFFFFF);
        PutU32(container, entry + kEntryStoredLengthField,
               static_cast<uint32_t>(section.stored.size()));
        PutU32(container, entry + kEntrySectionOffsetField, static_cast<uint32_t>(sectionOffset));
        PutU16(container, entry + 20, 0x0101);
        container[entry + kEntryNameLengthField] = static_cast<uint8_t>(section.name.size());
        PutText(container, entry + kDirectoryEntryLength, section.name);
        entry += kDirectoryEntryLength + section.name.size();
        sectionOffset += section.stored.size();
        container.insert(container.end(), section.stored.begin(), section.stored.end());
    }
    return container;
}

std::vector<uint8_t> BuildVariant(const VariantSpec& variant) {
    if (variant.name.size() > kMaxVariantNameLength) {
        throw std::invalid_argument("variant name of " + std::to_string(variant.name.size()) +
                                    " bytes is longer than " +
                                    std::to_string(kMaxVariantNameLength));
    }
    std::vector<SectionSpec> sections = {
        {std::string(kVariantNamePrefix) + variant.name, SectionZeroData(0)},
        {"Chassis", LzwEncode(ChassisRecord(variant.chassisId), variant.lzw)},
        {"Components", LzwEncode(ComponentList(variant.components), variant.lzw)},
    };
    std::vector<uint8_t> container = BuildContainer(sections);
    if (variant.totalSize == 0 || variant.totalSize == container.size()) {
        return container;
    }
    if (variant.totalSize < container.size()) {
        throw std::invalid_argument("the variant takes " + std::to_string(container.size()) +
                                    " bytes, more than " + std::to_string(variant.totalSize));
    }
    size_t extra = variant.totalSize - container.size();
    const size_t extraEntry = kDirectoryEntryLength + kExtraSectionName.size();
    if (extra < extraEntry) {
        sections[0].stored = SectionZeroData(extra);
    } else {
        sections.push_back({std::string(kExtraSectionName), Filler(extra - extraEntry)});
    }
    return BuildContainer(sections);
}

std::vector<uint8_t> BuildPieceMessage(uint32_t sender, uint8_t type, uint16_t sequence,
                                       std::span<const uint8_t> piece, std::string_view text1,
                                       std::string_view text2) {
    std::vector<uint8_t> content(2, 0);
    PutU16(content, 0, sequence);
    if (type == kGameTypeFirstPiece) {
        content.resize(43 - kGameHeaderLength, 0);
        AppendCounted(content, text1);
        AppendCounted(content, text2);
        content.push_back(kFirstPieceFlag);
    } else {
        content.resize(kPieceOffset - kGameHeaderLength, 0);
    }
    content.insert(content.end(), piece.begin(), piece.end());
    return BuildGameMessage(sender, kHostPlayerId, type, content);
}

size_t PieceOffsetOf(std::span<const uint8_t> message) {
    if (message.size() < kPieceOffset || message[28] != kGameTypeFirstPiece) {
        return kPieceOffset;
    }
    size_t first = message.size() > 43 ? message[43] : 0;
    size_t second = message.size() > 44 + first ? message[44 + first] : 0;
    return 46 + first + second;
}

std::vector<std::vector<uint8_t>> UploadMessages(uint32_t sender, uint16_t firstSequence,
                                                 std::span<const uint8_t> container,
                                                 size_t pieceBytes, size_t pieces) {
    const size_t size = container.size();
    std::vector<size_t> lengths;
    if (pieces == 0) {
        if (pieceBytes == 0) {
            throw std::invalid_argument("pieces of 0 bytes");
        }
        if (size > pieceBytes) {
            lengths.assign(size / pieceBytes, pieceBytes);
            if (size % pieceBytes != 0) {
                lengths.push_back(size % pieceBytes);
            }
        } else {
            pieces = 2;
        }
    }
    if (lengths.empty()) {
        if (pieces < 2 || pieces > size) {
            throw std::invalid_argument("a container of " + std::to_string(size) +
                                        " bytes cannot be cut into " + std::to_string(pieces) +
                                        " pieces");
        }
        for (size_t i = 0; i < pieces; ++i) {
            lengths.push_back(size / pieces + (i < size % pieces ? 1 : 0));
        }
    }

    std::vector<std::vector<uint8_t>> messages;
    size_t at = 0;
    for (size_t i = 0; i < lengths.size(); ++i) {
        uint8_t type = i == 0                    ? kGameTypeFirstPiece
                       : i + 1 == lengths.size() ? kGameTypeLastPiece
                                                 : kGameTypeMiddlePiece;
        messages.push_back(BuildPieceMessage(sender, type, static_cast<uint16_t>(firstSequence + i),
                                             container.subspan(at, lengths[i])));
        at += lengths[i];
    }
    return messages;
}

std::vector<uint8_t> BuildInfoMessage(uint32_t sender, std::string_view text) {
    std::vector<uint8_t> content(kInfoTextOffset - kGameHeaderLength, 0);
    content.insert(content.end(), text.begin(), text.end());
    content.push_back(0);
    return BuildGameMessage(sender, kHostPlayerId, kGameTypePlayerInfo, content);
}

std::vector<uint8_t> BuildStockSelection(uint32_t sender, uint32_t selectionId,
                                         std::string_view text1, std::string_view text2) {
    std::vector<uint8_t> content(34 - kGameHeaderLength, 0);
    AppendCounted(content, text1);
    AppendCounted(content, text2);
    content.push_back(0);
    content.resize(content.size() + 4, 0);
    PutU32(content, content.size() - 4, selectionId);
    return BuildGameMessage(sender, kHostPlayerId, kGameTypeStockSelection, content);
}

}  // namespace korvane::tools
