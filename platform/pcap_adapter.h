#pragma once

#include <optional>
#include <span>
#include <string>

#include "platform/capture_batch.h"
#include "platform/capture_library.h"
#include "platform/pcap_functions.h"

namespace korvane {

// A live adapter over a libpcap handle. libpcap takes the buffer size, promiscuity and timeout
// only before the handle is activated, so the setters store them and the first SetBpf or
// ReceivePacket creates and activates the handle, without promiscuous mode when that alone is
// refused (capturing the host's own traffic needs none). The handle is non-blocking; how a read
// waits for frames is the platform's. What went wrong in the activation, or in a later read,
// stays in ErrorText().
class PcapAdapter : public CaptureAdapter {
  public:
    PcapAdapter(const PcapFunctions& pcap, std::string device);

    bool SetHwFilter(uint32_t filter) override;
    bool SetBuff(int bytes) override;
    // A positive timeout bounds each read; 0 waits until frames arrive; a negative one returns at
    // once.
    bool SetReadTimeout(int milliseconds) override;
    bool SetBpf(std::span<const BpfInstruction> program) override;
    bool ReceivePacket(CapturePacket& packet) override;
    std::optional<CaptureStats> GetStats() override;
    std::string ErrorText() const override { return errorText_; }

  protected:
    // Settings of the platform's own for a handle not yet activated (the read timeout among
    // them); false when the library refuses one.
    virtual bool Prepare(pcap_t* handle) = 0;
    // What the platform needs of a handle just activated; false, with the reason in errorText_,
    // when it cannot have it.
    virtual bool Started(pcap_t* handle) = 0;
    // Fills the batch begun for this read: waits for frames at most the read timeout and takes
    // what is waiting. False on a capture error, with the reason in errorText_.
    virtual bool Fill() = 0;

    // Reads at most `count` frames (-1: all that are waiting) into the batch; the number read,
    // or -1 on a capture error.
    int Dispatch(int count);
    // The text libpcap gives for a failed call on `handle`: its own message, led by the meaning
    // of the status code where that says more than "generic error".
    std::string LibraryText(pcap_t* handle, int status) const;

    const PcapFunctions& pcap_;
    const std::string device_;
    PcapHandle handle_;  // null until activated
    int timeoutMs_ = 1000;
    CaptureBatch batch_;
    std::string errorText_;

  private:
    // Creates and activates the handle once; a failure is final and its text stays.
    bool Activate();
    // A handle on the device with the stored settings, activated and non-blocking; nothing on
    // failure, with `status` the activation's result and the reason in errorText_.
    PcapHandle Start(bool promiscuous, int& status);
    static void OnFrame(u_char* user, const pcap_pkthdr* header, const u_char* bytes);

    bool activationFailed_ = false;
    bool promiscuous_ = false;
    int bufferBytes_ = 0;
};

}  // namespace korvane
