#pragma once

#include <cstdint>

#include "platform/capture_library.h"
#include "platform/console.h"

namespace korvane {

// Installs the program's two packet filters on the open adapter.
class FilterInstaller {
  public:
    FilterInstaller(CaptureAdapter& adapter, Console& console)
        : adapter_(adapter), console_(console) {}

    // Frames to the server port, and the server's handshake segments, from now on.
    void SetPortFilter(int32_t port, uint32_t serverAddress);
    // Frames to the guarded address only, while the server port is being detected.
    void SetHostFilter(uint32_t localAddress);

  private:
    CaptureAdapter& adapter_;
    Console& console_;
};

}  // namespace korvane
