#include "platform/adapter_naming.h"

#include <algorithm>

namespace korvane {

namespace {
char FoldCase(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualFoldingCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) { return FoldCase(x) == FoldCase(y); });
}
}  // namespace

bool NamesNpcapAdapter(std::string_view wanted, std::string_view name,
                       std::string_view description) {
    return !wanted.empty() &&
           (EqualFoldingCase(wanted, name) || EqualFoldingCase(wanted, description));
}

}  // namespace korvane
