#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/capture_library.h"
#include "platform/clock.h"

namespace korvane {

// A capture file (pcap or pcapng, Ethernet frames) read as if it were a live adapter.
//
// The run's clock follows the capture: opening sets it to the first frame's time stamp. Each
// read delivers the next frame the installed filter accepts, cut to the length the filter
// returns, and sets the clock to that frame's time stamp. When that frame lies more than one
// second after the clock, the read delivers nothing and the clock advances by exactly one second
// instead, as a live read would time out. Frames the filter rejects are skipped without effect.
// The clock never moves backwards. Once no frame is left, AtEnd() is true and every further read
// delivers nothing and advances the clock by one second. A damaged record (a last record cut off
// when the capture was stopped is common) ends the file there as well; ErrorText() then tells
// what libpcap found, "capture file ends early: ...", and stays empty after the regular end.
//
// The file is streamed with one frame of lookahead. The filter is applied when a read looks at a
// frame, so a filter installed between reads decides about every frame not yet delivered. The
// statistics count the frames the reads have gone past, delivered or rejected; nothing is ever
// dropped.
class ReplayCapture final : public CaptureAdapter {
  public:
    // Opens the file. On failure returns nothing and sets `reason`; the clock is untouched.
    static std::unique_ptr<ReplayCapture> Open(const std::string& path, ManualClock& clock,
                                               std::string& reason);
    ~ReplayCapture() override;

    bool SetHwFilter(uint32_t filter) override;
    bool SetBuff(int bytes) override;
    bool SetReadTimeout(int milliseconds) override;
    bool SetBpf(std::span<const BpfInstruction> program) override;
    bool ReceivePacket(CapturePacket& packet) override;
    std::optional<CaptureStats> GetStats() override;
    bool AtEnd() const override;
    std::string ErrorText() const override;

  private:
    struct Impl;
    explicit ReplayCapture(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace korvane
