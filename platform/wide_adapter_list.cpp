#include "platform/wide_adapter_list.h"

namespace korvane {

std::optional<size_t> WriteWideAdapterList(std::span<const AdapterEntry> adapters,
                                           std::span<uint8_t> buffer) {
    size_t needed = 2 + 1;  // the empty name and the empty description
    for (const AdapterEntry& adapter : adapters) {
        needed += 2 * (adapter.name.size() + 1) + adapter.description.size() + 1;
    }
    if (needed > buffer.size()) {
        return std::nullopt;
    }
    size_t at = 0;
    for (const AdapterEntry& adapter : adapters) {
        for (char c : adapter.name) {
            buffer[at++] = static_cast<uint8_t>(c);
            buffer[at++] = 0;
        }
        buffer[at++] = 0;
        buffer[at++] = 0;
    }
    buffer[at++] = 0;
    buffer[at++] = 0;
    for (const AdapterEntry& adapter : adapters) {
        for (char c : adapter.description) {
            buffer[at++] = static_cast<uint8_t>(c);
        }
        buffer[at++] = 0;
    }
    buffer[at++] = 0;
    return at;
}

}  // namespace korvane
