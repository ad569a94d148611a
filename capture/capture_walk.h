#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "app/event_log.h"
#include "app/run_settings.h"
#include "capture/ipv4_reassembly.h"
#include "platform/capture_library.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/sockets.h"

namespace korvane {

// What the walk asks of the server's side and tells it; the driver wires it to the link and the
// packet filters.
class ServerPortHook {
  public:
    virtual ~ServerPortHook() = default;
    // Whether the program's own link to the server is up.
    virtual bool LinkUp() const = 0;
    // The program's own end of its link, whose frames are not the players'.
    virtual std::optional<SocketEnd> OwnEnd() const = 0;
    // The server port was found: connects to it and, once connected, follows it. Whether the
    // connection was made.
    virtual bool PortDetected(uint16_t port) = 0;
};

// Walks each buffer of captured records, traces frames with "/debug", finds the server port
// from the first connect message while it is unknown, and hands every frame addressed to the
// game server on, and the server's own segments from its port.
//
// Only what the server's stack takes is handed on: IPv4 fragments to the server are put back
// together into their datagram first, and a frame whose checksums the stack would refuse is
// dropped and counted. The trace shows each frame as captured: a later fragment, whose port
// fields are not there, is not traced, nor is the datagram it completes (its first fragment
// was).
class CaptureWalk {
  public:
    // Receives a frame in the plain layout (payload at 54).
    using Dispatch = std::function<void(std::span<const uint8_t> frame)>;

    // Frames of this many bytes or fewer are not traced and cannot show the port; they are
    // handed on all the same, since a segment of a few bytes, a FIN or an RST counts for the
    // connection's stream.
    static constexpr size_t kMinimumFrame = 60;

    struct Targets {
        Dispatch toServer;    // frames to the server's address and port
        Dispatch fromServer;  // the server's frames from its port, once the port is followed
    };

    CaptureWalk(RunSettings& settings, Console& console, EventLog& log, ServerPortHook& server,
                uint32_t localAddress, const Clock& clock, Targets targets,
                Ipv4Reassembly::Limits fragmentLimits = {})
        : settings_(settings),
          console_(console),
          log_(log),
          server_(server),
          localAddress_(localAddress),
          clock_(clock),
          targets_(std::move(targets)),
          fragments_(fragmentLimits) {}

    // One buffer as the capture driver filled it: records of a capture header and a frame.
    // Every record is handled; a record running past the end of the buffer, or one that would
    // not move the walk on, ends it.
    void WalkCaptureBuffer(std::span<const uint8_t> buffer);
    // What one read delivered: the records it wrote, or its one frame in place.
    void WalkDelivery(const CapturePacket& read);

    // One captured frame.
    void analyzePacket_port_2300(std::span<const uint8_t> frame);

    // Frames dropped since the start for checksums the server's stack refuses.
    uint64_t badChecksums() const { return badChecksums_; }
    // Datagrams waiting for fragments, and what became of the others.
    const Ipv4Reassembly& fragments() const { return fragments_; }

  private:
    // One frame; a frame that cannot be handled is dropped.
    void WalkFrame(std::span<const uint8_t> captured);
    // A whole IPv4 packet carrying TCP, in the plain layout; `captured` is the frame its
    // checksums are read from, once it matters to the server.
    void AnalyzeSegment(std::span<const uint8_t> plain, bool traced,
                        std::span<const uint8_t> captured);
    // Whether the server's stack takes the frame's checksums; counted when it does not.
    bool ChecksumsSound(std::span<const uint8_t> captured);
    void TakeFragment(std::span<const uint8_t> captured);

    RunSettings& settings_;
    Console& console_;
    EventLog& log_;
    ServerPortHook& server_;
    uint32_t localAddress_;
    const Clock& clock_;
    Targets targets_;
    Ipv4Reassembly fragments_;
    uint64_t badChecksums_ = 0;
    std::vector<uint8_t> plainFrame_;  // a frame rewritten without its header options
};

}  // namespace korvane
