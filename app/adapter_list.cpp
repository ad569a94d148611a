#include "app/adapter_list.h"

#include <algorithm>
#include <string_view>

#include "platform/format.h"
#include "platform/wide_adapter_list.h"

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

// The names and, in the wide form, the descriptions of a filled list.
struct SplitList {
    std::vector<std::span<const uint8_t>> names;
    std::vector<std::string_view> descriptions;
};

SplitList SplitAdapterList(std::span<const uint8_t> list, bool wide) {
    SplitList split;
    const size_t unit = wide ? 2 : 1;
    const size_t chars = CharCount(list, wide);
    // Names: split at each zero that follows a non-zero character; a zero after a zero (or at
    // the very start) ends the names.
    size_t i = 0;
    size_t nameStart = 0;
    unsigned previous = 0;
    for (; i < chars; ++i) {
        const unsigned c = CharAt(list, wide, i);
        if (c == 0) {
            if (previous == 0) {
                break;
            }
            split.names.push_back(list.subspan(nameStart * unit, (i - nameStart) * unit));
            nameStart = i + 1;
        }
        previous = c;
    }
    if (!wide) {
        return split;
    }
    // Descriptions: 8-bit texts right after the first pair of consecutive 16-bit zeros, up to an
    // empty one.
    for (size_t at = (i + 1) * 2; at < list.size();) {
        size_t end = at;
        while (end < list.size() && list[end] != 0) {
            ++end;
        }
        if (end == at) {
            break;
        }
        split.descriptions.emplace_back(reinterpret_cast<const char*>(list.data() + at), end - at);
        at = end + 1;
    }
    return split;
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
    const size_t slotChars = AdapterTable::kSlotBytes / unit - 1;  // room for the terminator
    const SplitList split = SplitAdapterList(list, wide);
    std::string printed;
    for (const std::span<const uint8_t> name : split.names) {
        if (table.count == AdapterTable::kSlots) {
            break;
        }
        auto& slot = table.slots[table.count];
        const size_t length = std::min(name.size() / unit, slotChars);
        std::copy_n(name.begin(), static_cast<long>(length * unit), slot.begin());
        ++table.count;
        if (!wide) {
            printed += StringPrintf("\n%zu- %.*s", table.count, static_cast<int>(length),
                                    reinterpret_cast<const char*>(slot.data()));
        }
    }
    for (size_t n = 0; wide && n < std::min(table.count, split.descriptions.size()); ++n) {
        const std::string_view description = split.descriptions[n];
        printed += StringPrintf("\n%zu- %.*s", n + 1, static_cast<int>(description.size()),
                                description.data());
    }
    return printed;
}

std::vector<ListedAdapter> ListedAdapters(std::span<const uint8_t> list, bool wide) {
    const SplitList split = SplitAdapterList(list, wide);
    std::vector<ListedAdapter> adapters;
    for (size_t n = 0; n < split.names.size(); ++n) {
        std::string name = DecodeAdapterName(split.names[n], wide);
        std::string description =
            n < split.descriptions.size() ? std::string(split.descriptions[n]) : name;
        adapters.push_back({split.names[n], std::move(name), std::move(description)});
    }
    return adapters;
}

}  // namespace korvane
