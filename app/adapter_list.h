#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace korvane {

// The adapters the capture library listed: ten slots of 1024 bytes, each holding one name as
// it was listed (8-bit or UTF-16LE characters), zero-filled so the fill ends the name. Slot n-1
// belongs to adapter number n. Names beyond the tenth are not kept; a name longer than a slot
// is cut so that its terminator still fits.
struct AdapterTable {
    static constexpr size_t kSlots = 10;
    static constexpr size_t kSlotBytes = 1024;

    std::array<std::array<uint8_t, kSlotBytes>, kSlots> slots{};
    size_t count = 0;
    bool wide = false;

    // The name of adapter `number` (1-based) without its terminator; empty for a number that
    // names no stored slot.
    std::span<const uint8_t> Name(long number) const;
};

// Buffer sizes handed to the capture library for the two forms of the list.
constexpr size_t kWideListBytes = 16384;
constexpr size_t kNarrowListBytes = 8192;

// Reads a filled adapter list into the table and returns the console text that shows it:
// "\n%d- %s" per adapter, with the descriptions of the wide form or the names of the 8-bit form.
std::string ReadAdapterList(std::span<const uint8_t> list, bool wide, AdapterTable& table);

// One adapter of a filled list: its name as listed, to open it by, and as text, with its
// description (in the 8-bit form, which lists none, the name again).
struct ListedAdapter {
    std::span<const uint8_t> listedName;
    std::string name;
    std::string description;
};

// Every adapter of a filled list, in its order, those beyond the table's ten included.
std::vector<ListedAdapter> ListedAdapters(std::span<const uint8_t> list, bool wide);

}  // namespace korvane
