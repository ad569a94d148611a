#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>

#include "capture/fixed_text.h"

namespace korvane {

// Texts that arrive from the network are stored in this form, so that no player can forge a
// log line or send a terminal control sequence to the operator's console: every control
// character becomes '?': those below 0x20, 0x7F, and 0x80 to 0x9F, the C1 controls, which a
// UTF-8 terminal reads from the pair C2 xx (C2 9B introduces a control sequence), so a byte of
// them in a name could drive `tail -f Korvane.log`. Wide texts are treated unit by unit the
// same way; other units stay as they are.
std::string SafeNetworkText(std::string_view text);
std::u16string SafeNetworkText(std::u16string_view text);

// One unit of a network text in its safe form.
template <typename Char>
constexpr Char SafeNetworkUnit(Char c) {
    const auto unit = static_cast<std::make_unsigned_t<Char>>(c);
    return unit < 0x20 || (unit >= 0x7F && unit <= 0x9F) ? static_cast<Char>('?') : c;
}

// Stores a network text in a fixed field in its safe form, cut to fit, without allocating.
template <size_t Capacity>
void SetNetworkText(FixedText<Capacity>& field, std::string_view text) {
    std::array<char, Capacity> safe;
    const size_t length = std::min(text.size(), Capacity - 1);
    std::transform(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(length), safe.begin(),
                   SafeNetworkUnit<char>);
    field.Set(std::string_view(safe.data(), length));
}

}  // namespace korvane
