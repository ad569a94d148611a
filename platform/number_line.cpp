#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "platform/console.h"

namespace korvane {

std::optional<NumberInput> NumberInLine(const std::string& line) {
    size_t i = 0;
    while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) {
        ++i;
    }
    if (i == line.size()) {
        return std::nullopt;
    }
    errno = 0;
    char* after = nullptr;
    const long value = std::strtol(line.c_str() + i, &after, 10);
    if (after == line.c_str() + i || errno == ERANGE) {
        return NumberInput{NumberInput::Kind::notANumber, 0};
    }
    return NumberInput{NumberInput::Kind::number, value};
}

}  // namespace korvane
