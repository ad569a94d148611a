#include "platform/wide_adapter_list.h"

namespace korvane {

namespace {

constexpr size_t kTerminatorBytes = 2 + 1;  // the empty name and the empty description

size_t EntryBytes(const AdapterEntry& adapter) {
    return 2 * (adapter.name.size() + 1) + adapter.description.size() + 1;
}

}  // namespace

std::optional<size_t> WriteWideAdapterList(std::span<const AdapterEntry> adapters,
                                           std::span<uint8_t> buffer) {
    if (buffer.size() < kTerminatorBytes) {
        return std::nullopt;
    }
    // The leading entries that fit whole beside the terminators; the rest is left out.
    size_t needed = kTerminatorBytes;
    size_t count = 0;
    for (const AdapterEntry& adapter : adapters) {
        if (EntryBytes(adapter) > buffer.size() - needed) {
            break;
        }
        needed += EntryBytes(adapter);
        ++count;
    }
    std::span<const AdapterEntry> kept = adapters.first(count);
    size_t at = 0;
    for (const AdapterEntry& adapter : kept) {
        for (char c : adapter.name) {
            buffer[at++] = static_cast<uint8_t>(c);
            buffer[at++] = 0;
        }
        buffer[at++] = 0;
        buffer[at++] = 0;
    }
    buffer[at++] = 0;
    buffer[at++] = 0;
    for (const AdapterEntry& adapter : kept) {
        for (char c : adapter.description) {
            buffer[at++] = static_cast<uint8_t>(c);
        }
        buffer[at++] = 0;
    }
    buffer[at++] = 0;
    return at;
}

std::optional<size_t> WriteNarrowAdapterList(std::span<const AdapterEntry> adapters,
                                             std::span<uint8_t> buffer) {
    if (buffer.empty()) {
        return std::nullopt;
    }
    size_t at = 0;
    for (const AdapterEntry& adapter : adapters) {
        // The name, its terminator and the list's terminator must fit.
        if (adapter.name.size() + 2 > buffer.size() - at) {
            break;
        }
        for (char c : adapter.name) {
            buffer[at++] = static_cast<uint8_t>(c);
        }
        buffer[at++] = 0;
    }
    buffer[at++] = 0;
    return at;
}

std::string DecodeAdapterName(std::span<const uint8_t> name, bool wide) {
    std::string text;
    if (wide) {
        for (size_t i = 0; i + 1 < name.size(); i += 2) {
            if (name[i] == 0 && name[i + 1] == 0) {
                break;
            }
            text += static_cast<char>(name[i]);
        }
    } else {
        for (uint8_t c : name) {
            if (c == 0) {
                break;
            }
            text += static_cast<char>(c);
        }
    }
    return text;
}

}  // namespace korvane
