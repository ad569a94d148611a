#include "capture/network_text.h"

namespace korvane {

namespace {
template <typename Char>
std::basic_string<Char> ReplaceControls(std::basic_string_view<Char> text) {
    std::basic_string<Char> safe(text);
    for (Char& c : safe) {
        c = SafeNetworkUnit(c);
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
