#include "app/adapter_list.h"

#include <algorithm>

#include "platform/format.h"

namespace korvane {

namespace {

// The character of the list at index `i` (16-bit units in the wide form), 0 past the end.
unsigned CharAt(std::span<const uint8_t> list, bool wide, size_t i) {
    if (wide) {
        size_t at = i * 2;
        if (at + 1 >= list.size()) {
            return 0;
        }
        return static_cast<unsigned>(list[at] | (list[at + 1] << 8));
    }
    return i < list.size() ? list[i] : 0u;
}

size_t CharCount(std::span<const uint8_t> list, bool wide) {
    return wide ? list.size() / 2 : list.size();
}

}  // namespace

std::span<const uint8_t> AdapterTable::Name(long number) const {
    if (number < 1 || static_cast<size_t>(number) > count) {
        return {};
    }
    const auto& slot = slots[static_cast<size_t>(number - 1)];
    size_t unit = wide ? 2 : 1;
    size_t length = 0;
    while (length + unit <= slot.size() && (slot[length] != 0 || (wide && slot[length + 1] != 0))) {
        length += unit;
    }
    return std::span<const uint8_t>(slot.data(), length);
}

std::string ReadAdapterList(std::span<const uint8_t> list, bool wide, AdapterTable& table) {
    table = AdapterTable{};
    table.wide = wide;
    const size_t unit = wide ? 2 : 1;
    const size_t chars = CharCount(list, wide);
    const size_t slotChars = AdapterTable::kSlotBytes / unit - 1;  // room for the terminator

    // Names: split at each zero that follows a non-zero character; a zero after a zero (or at
    // the very start) ends the names.
    size_t i = 0;
    size_t nameStart = 0;
    unsigned previous = 0;
    std::string printedNames;
    for (; i < chars; ++i) {
        unsigned c = CharAt(list, wide, i);
        if (c == 0) {
            if (previous == 0) {
                break;
            }
            if (table.count < AdapterTable::kSlots) {
                auto& slot = table.slots[table.count];
                size_t length = std::min(i - nameStart, slotChars);
                std::copy_n(list.begin() + static_cast<long>(nameStart * unit),
                            static_cast<long>(length * unit), slot.begin());
                ++table.count;
                if (!wide) {
                    printedNames +=
                        StringPrintf("\n%zu- %.*s", table.count, static_cast<int>(length),
                                     reinterpret_cast<const char*>(slot.data()));
                }
            }
            nameStart = i + 1;
        }
        previous = c;
    }
    if (!wide) {
        return printedNames;
    }

    // Descriptions: 8-bit texts right after the first pair of consecutive 16-bit zeros.
    std::string printed;
    size_t at = (i + 1) * 2;
    size_t shown = 0;
    while (shown < table.count && at < list.size()) {
        size_t end = at;
        while (end < list.size() && list[end] != 0) {
            ++end;
        }
        if (end == at) {
            break;
        }
        ++shown;
        printed += StringPrintf("\n%zu- %.*s", shown, static_cast<int>(end - at),
                                reinterpret_cast<const char*>(list.data() + at));
        at = end + 1;
    }
    return printed;
}

}  // namespace korvane
