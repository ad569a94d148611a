#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tools/lzw_encoder.h"

namespace korvane::tools {

// Variant containers ("#VBD") and the game messages that upload them to the host, byte for
// byte. All values little-endian. These layouts are restated here on their own, apart from the
// program's code, so that a wrong constant there shows up in the tests.
//
// Container header, 20 bytes:
//    0  "#VBD"
//    4  u32, not interpreted (written as 1)
//    8  u32, not interpreted (written as 0)
//   12  u32 data area offset: section offsets count from here (20 + the directory's length)
//   16  u16 section count
//   18  2 bytes, not interpreted
//   20  the directory
// Directory entry, 23 bytes and the name; entries back to back:
//    0, 4, 8  three u32, not interpreted
//   12  u32 stored length: the section's bytes in the container
//   16  u32 section offset, from the data area offset
//   20  u16, not interpreted
//   22  u8 name length n
//   23  n name bytes, no terminator
// A consistent container is exactly 20 + sum(23 + n) + sum(stored lengths) bytes long.
//
// Sections by position:
//   0   only its name counts: the variant's name is what follows its first 23 characters
//   1   LZW-compressed chassis record; expanded, the u32 at 148 is the chassis id
//   2   LZW-compressed component list: 2 bytes not interpreted, then the components back to back
//       to the end, each starting with its i16 length (these two bytes included; the game uses
//       108, 112, 152, 236 or 376) and holding its u16 component id at 86
//   3+  not used, but they count in the container's length
inline constexpr std::string_view kContainerMagic = "#VBD";
inline constexpr size_t kContainerHeaderLength = 20;
inline constexpr size_t kDataOffsetField = 12;
inline constexpr size_t kSectionCountField = 16;
inline constexpr size_t kDirectoryEntryLength = 23;  // without the name
inline constexpr size_t kEntryStoredLengthField = 12;
inline constexpr size_t kEntrySectionOffsetField = 16;
inline constexpr size_t kEntryNameLengthField = 22;
// Section 0's name: a fixed 23-character prefix, then the variant's name.
inline constexpr std::string_view kVariantNamePrefix = "Variant/Custom/Unnamed/";
inline constexpr size_t kMaxVariantNameLength = 255 - kVariantNamePrefix.size();
inline constexpr size_t kChassisRecordLength = 200;
inline constexpr size_t kChassisIdOffset = 148;
inline constexpr size_t kComponentListHeaderLength = 2;
inline constexpr size_t kComponentIdOffset = 86;
inline constexpr int16_t kMinComponentLength = 88;  // room for the id

struct ComponentSpec {
    uint16_t id = 0;
    int16_t length = 108;  // kMinComponentLength to 32767
};

struct VariantSpec {
    uint32_t chassisId = 0;
    std::vector<ComponentSpec> components;
    std::string name;  // the variant's name, after the 23-character prefix
    // 0: the container's natural size. Otherwise the container is made exactly this many bytes:
    // by a section 3 of filler when there are 28 bytes or more to add, else by lengthening
    // section 0's stored data.
    size_t totalSize = 0;
    LzwOptions lzw;
};

// The expanded chassis record: 200 bytes of filler with the chassis id at 148.
std::vector<uint8_t> ChassisRecord(uint32_t chassisId);
// The expanded component list: u16 component count (not interpreted), then each component with
// its length, deterministic filler and its id at 86. Throws std::invalid_argument for a length
// below kMinComponentLength.
std::vector<uint8_t> ComponentList(std::span<const ComponentSpec> components);

struct SectionSpec {
    std::string name;  // at most 255 bytes
    std::vector<uint8_t> stored;
};
// A consistent container of these sections, stored back to back in order.
std::vector<uint8_t> BuildContainer(std::span<const SectionSpec> sections);
// The variant's container: section 0 named after it, the compressed chassis record and
// component list, and the filler for `totalSize`. Throws std::invalid_argument for a name
// longer than kMaxVariantNameLength or a totalSize below the natural size.
std::vector<uint8_t> BuildVariant(const VariantSpec& variant);

// Uploads. A player sends a container to the host (player id 1) in game messages (see
// BuildGameMessage; the content starts at 29):
//   type 4, the first piece:
//      29  u16 sequence number         31..42  zero
//      43  u8 L1, then L1 bytes        44+L1   u8 L2, then L2 bytes
//      45+L1+L2  one byte              46+L1+L2 to the end: the piece
//   type 5, a middle piece (zero or more), and type 6, the last piece:
//      29  u16 sequence number         31, 32  zero              33 to the end: the piece
// The first piece has sequence number s, the following ones s+1, s+2, ... (16 bits, wrapping).
// Other messages about the player's mech:
//   type 10, player information: 29..55 zero, then a NUL-terminated text at 56
//   type 17, stock mech selection: 29..33 zero; 34 u8 L1, then L1 bytes; 35+L1 u8 L2, then
//      L2 bytes; 36+L1+L2 one byte; 37+L1+L2 u32 selection id
inline constexpr uint32_t kHostPlayerId = 1;
inline constexpr uint8_t kGameTypeFirstPiece = 4;
inline constexpr uint8_t kGameTypeMiddlePiece = 5;
inline constexpr uint8_t kGameTypeLastPiece = 6;
inline constexpr uint8_t kGameTypePlayerInfo = 10;
inline constexpr uint8_t kGameTypeStockSelection = 17;
inline constexpr size_t kPieceOffset = 33;  // in types 5 and 6
inline constexpr size_t kInfoTextOffset = 56;

// One piece message. Type 4 gets the first-piece layout with the two texts (at most 255 bytes
// each), any other type the short one.
std::vector<uint8_t> BuildPieceMessage(uint32_t sender, uint8_t type, uint16_t sequence,
                                       std::span<const uint8_t> piece,
                                       std::string_view text1 = "Mech",
                                       std::string_view text2 = "v01");
// Where the piece starts in a piece message built as above: 46 + L1 + L2 for type 4, else 33.
size_t PieceOffsetOf(std::span<const uint8_t> message);

// The container cut into pieces, one whole game message each: the first in type 4, the last in
// type 6, the rest in type 5. With `pieces` 0 the pieces hold `pieceBytes` each, the last one
// the rest; a container that fits one piece is cut in two halves. Otherwise the container is
// cut into exactly `pieces` pieces (2 up to the container's size) of near-equal size. Throws
// std::invalid_argument when the container cannot be cut so.
std::vector<std::vector<uint8_t>> UploadMessages(uint32_t sender, uint16_t firstSequence,
                                                 std::span<const uint8_t> container,
                                                 size_t pieceBytes = 1000, size_t pieces = 0);

std::vector<uint8_t> BuildInfoMessage(uint32_t sender, std::string_view text);
std::vector<uint8_t> BuildStockSelection(uint32_t sender, uint32_t selectionId,
                                         std::string_view text1 = "Stock",
                                         std::string_view text2 = "std");

}  // namespace korvane::tools
