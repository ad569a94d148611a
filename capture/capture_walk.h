#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "app/event_log.h"
#include "app/filter_installer.h"
#include "app/run_settings.h"
#include "link/server_link.h"
#include "platform/console.h"

namespace korvane {

// Walks each buffer of captured records, traces frames with "/debug", finds the server port
// from the first connect message while it is unknown, and hands every frame addressed to the
// game server on.
class CaptureWalk {
  public:
    // Receives a frame to the server in the plain layout (payload at 54).
    using Dispatch = std::function<void(std::span<const uint8_t> frame)>;

    // Frames of this many bytes or fewer carry no session message worth a look.
    static constexpr size_t kMinimumFrame = 60;

    CaptureWalk(RunSettings& settings, Console& console, EventLog& log, ServerLink& link,
                FilterInstaller& filters, uint32_t localAddress, Dispatch dispatch)
        : settings_(settings),
          console_(console),
          log_(log),
          link_(link),
          filters_(filters),
          localAddress_(localAddress),
          dispatch_(std::move(dispatch)) {}

    // One buffer as the capture driver filled it: records of a capture header and a frame.
    // Every record is handled; a record running past the end of the buffer, or one that would
    // not move the walk on, ends it.
    void WalkCaptureBuffer(std::span<const uint8_t> buffer);

    // One captured frame.
    void analyzePacket_port_2300(std::span<const uint8_t> frame);

  private:
    RunSettings& settings_;
    Console& console_;
    EventLog& log_;
    ServerLink& link_;
    FilterInstaller& filters_;
    uint32_t localAddress_;
    Dispatch dispatch_;
    std::vector<uint8_t> plainFrame_;  // a frame rewritten without its header options
};

}  // namespace korvane
