#pragma once

#include <string>
#include <string_view>

namespace korvane {

// 8-bit text as the Latin-1 characters of its bytes, in UTF-8: how the program's texts, which
// come from the network and from files byte by byte, become the strings of a JSON document.
inline std::string Latin1ToUtf8(std::string_view text) {
    std::string utf8;
    utf8.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            utf8 += c;
        } else {
            utf8 += static_cast<char>(0xC0 | byte >> 6);
            utf8 += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return utf8;
}

}  // namespace korvane
