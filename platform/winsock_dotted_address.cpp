#include <winsock2.h>

#include "platform/sockets.h"

namespace korvane {

// inet_addr and ntohl need no started sockets layer.
uint32_t ParseDottedAddress(const std::string& text) {
    return ntohl(::inet_addr(text.c_str()));
}

std::string DottedText(uint32_t address) {
    // Formed here rather than by inet_ntoa, whose text lives in a buffer shared by the thread.
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        text += std::to_string((address >> shift) & 0xFFu);
        if (shift != 0) {
            text += '.';
        }
    }
    return text;
}

}  // namespace korvane
