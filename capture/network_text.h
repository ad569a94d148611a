#pragma once

#include <string>
#include <string_view>

namespace korvane {

// Texts that arrive from the network are stored in this form, so that no player can forge a
// log line or send a terminal control sequence to the operator's console: every control
// character (below 0x20, and 0x7F) becomes '?'. Wide texts are treated unit by unit the same
// way; other units stay as they are.
std::string SafeNetworkText(std::string_view text);
std::u16string SafeNetworkText(std::u16string_view text);

}  // namespace korvane
