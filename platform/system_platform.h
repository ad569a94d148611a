#pragma once

#include <memory>

#include "platform/capture_library.h"
#include "platform/console.h"
#include "platform/sockets.h"

namespace korvane {

// The real capture library, sockets layer and console of the platform the program was built for.
struct SystemPlatform {
    std::unique_ptr<CaptureLibrary> capture;
    std::unique_ptr<Sockets> sockets;
    std::unique_ptr<Console> console;
};

SystemPlatform MakeSystemPlatform();

}  // namespace korvane
