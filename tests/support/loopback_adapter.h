#pragma once

#include <string>

namespace korvane::testing {

// The number under which the program lists the loopback interface, or 0 with `why` set when
// capturing on it is not possible here (not root, no such interface, capture refused).
int LoopbackAdapterNumber(std::string& why);

}  // namespace korvane::testing
