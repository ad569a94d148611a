#pragma once

#include <memory>

#include "platform/sockets.h"

namespace korvane {

// The sockets layer over POSIX sockets.
std::unique_ptr<Sockets> MakePosixSockets();

}  // namespace korvane
