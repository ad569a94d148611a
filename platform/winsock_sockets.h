#pragma once

#include <memory>

#include "platform/sockets.h"

namespace korvane {

// The sockets layer over Windows Sockets 2 (ws2_32).
std::unique_ptr<Sockets> MakeWinsockSockets();

}  // namespace korvane
