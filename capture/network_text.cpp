#include "capture/network_text.h"

#include <type_traits>

namespace korvane {

namespace {
template <typename Char>
std::basic_string<Char> ReplaceControls(std::basic_string_view<Char> text) {
    std::basic_string<Char> safe(text);
    for (Char& c : safe) {
        const auto unit = static_cast<std::make_unsigned_t<Char>>(c);
        if (unit < 0x20 || unit == 0x7F) {
            c = static_cast<Char>('?');
        }
    }
    return safe;
}
}  // namespace

std::string SafeNetworkText(std::string_view text) {
    return ReplaceControls(text);
}

std::u16string SafeNetworkText(std::u16string_view text) {
    return ReplaceControls(text);
}

}  // namespace korvane
