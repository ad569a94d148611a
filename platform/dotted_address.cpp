#include <arpa/inet.h>

#include <climits>

#include "platform/sockets.h"

namespace korvane {

uint32_t ParseDottedAddress(const std::string& text) {
    return ntohl(::inet_addr(text.c_str()));
}

std::string DottedText(uint32_t address) {
    in_addr a{};
    a.s_addr = htonl(address);
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

}  // namespace korvane
