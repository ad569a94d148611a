#include "platform/pcap_capture_library.h"

#include <pcap/pcap.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/pcap_adapter.h"
#include "platform/pcap_devices.h"
#include "platform/pcap_functions.h"
#include "platform/sockets.h"
#include "platform/wide_adapter_list.h"

namespace korvane {

namespace {

// The version word of an NT-family platform (top bit clear), major version 10: the adapter list
// comes in the wide form.
constexpr uint32_t kPlatformVersionWord = 0x0000000A;

// The capture is not in immediate mode: the kernel packs frames by their own length into blocks
// of its ring and hands a block over when it is full or a short time has passed, as the capture
// driver's buffer fills and a read returns. So the 1 MiB buffer holds thousands of game frames.
// In immediate mode every frame took a slot sized from the snap length (2048 bytes): about 490
// frames (on lo, which sees each frame leave and arrive, half as many), and a game session put
// onto lo at 100,000 frames a second lost half of its frames.
//
// How long the kernel holds a block that is not full before it hands it over: short, so that a
// frame on a quiet server is handled within a few hundredths of a second; a read still waits up
// to its own timeout for frames to come.
constexpr int kBlockTimeoutMs = 20;

// The code LastError() gives when an adapter's link type is not Ethernet.
#ifdef EMEDIUMTYPE
constexpr unsigned long kWrongLinkType = EMEDIUMTYPE;
#else
constexpr unsigned long kWrongLinkType = EPROTONOSUPPORT;
#endif

// Devices libpcap lists on Linux that do not carry Ethernet frames: the cooked "any" device, the
// netfilter queues, D-Bus, Bluetooth and USB monitors.
bool IsNonEthernetPseudoDevice(std::string_view name) {
    if (name == "any" || name == "nflog" || name == "nfqueue") {
        return true;
    }
    for (std::string_view prefix : {"dbus", "bluetooth", "usbmon"}) {
        if (name.starts_with(prefix)) {
            return true;
        }
    }
    return false;
}

// libpcap's own description where it has one; otherwise the name with the first IPv4 address,
// "lo 127.0.0.1", or the bare name.
std::string DescribeDevice(const pcap_if_t& device) {
    if (device.description != nullptr && device.description[0] != '\0') {
        return device.description;
    }
    std::string text = device.name;
    if (const std::optional<uint32_t> address = FirstIPv4(device)) {
        text += ' ' + DottedText(*address);
    }
    return text;
}

unsigned long ErrorCodeOfActivation(int status) {
    switch (status) {
        case PCAP_ERROR_NO_SUCH_DEVICE:
            return ENODEV;
        case PCAP_ERROR_PERM_DENIED:
        case PCAP_ERROR_PROMISC_PERM_DENIED:
            return EACCES;
        case PCAP_ERROR_IFACE_NOT_UP:
            return ENETDOWN;
        default:
            return EIO;
    }
}

// The libpcap this program is linked with, which is always there.
const PcapFunctions& LinkedPcap() {
    std::string never;
    return *SystemPcapFunctions(never);
}

// A live adapter that waits for frames on the capture's selectable descriptor.
class PollingPcapAdapter final : public PcapAdapter {
  public:
    using PcapAdapter::PcapAdapter;

  private:
    bool Prepare(pcap_t* handle) override {
        return pcap_set_timeout(handle, std::clamp(timeoutMs_, 1, kBlockTimeoutMs)) == 0 &&
               pcap_set_immediate_mode(handle, 0) == 0;
    }

    // The device's link type is not checked again: OpenAdapter has refused any that is not
    // Ethernet.
    bool Started(pcap_t* handle) override {
        selectableFd_ = pcap_get_selectable_fd(handle);
        if (selectableFd_ < 0) {
            errorText_ = "the capture on " + device_ + " cannot be waited for";
            return false;
        }
        return true;
    }

    // When a held frame began the batch, whatever else is already waiting joins it without
    // further wait.
    bool Fill() override { return batch_.End() != 0 ? Dispatch(-1) >= 0 : WaitAndDispatch(); }

    // Waits for frames at most the read timeout and reads them; false on a capture error.
    bool WaitAndDispatch() {
        using SteadyClock = std::chrono::steady_clock;
        const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs_);
        for (;;) {
            int waitMs = -1;
            if (timeoutMs_ < 0) {
                waitMs = 0;
            } else if (timeoutMs_ > 0) {
                auto left =
                    std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now());
                waitMs = static_cast<int>(std::max<int64_t>(left.count(), 0));
            }
            pollfd wait{selectableFd_, POLLIN, 0};
            int ready = poll(&wait, 1, waitMs);
            if (ready < 0 && errno != EINTR) {
                errorText_ =
                    "waiting for frames on " + device_ + " failed: " + std::strerror(errno);
                return false;
            }
            if (ready > 0) {
                if (Dispatch(-1) < 0) {
                    return false;
                }
                if (batch_.End() != 0) {
                    return true;
                }
            }
            if (timeoutMs_ < 0 || (timeoutMs_ > 0 && SteadyClock::now() >= deadline)) {
                return true;
            }
        }
    }

    int selectableFd_ = -1;
};

class PcapCaptureLibrary final : public CaptureLibrary {
  public:
    std::string Version() override { return pcap_.libVersion(); }

    uint32_t PlatformVersion() override { return kPlatformVersionWord; }

    bool GetAdapterNames(std::span<uint8_t> buffer) override {
        std::vector<AdapterEntry> adapters;
        const bool listed = ForEachPcapDevice(pcap_, [&](const pcap_if_t& d) {
            if (d.name != nullptr && d.name[0] != '\0' && !IsNonEthernetPseudoDevice(d.name)) {
                adapters.push_back({d.name, DescribeDevice(d)});
            }
        });
        return listed && WriteWideAdapterList(adapters, buffer).has_value();
    }

    std::unique_ptr<CaptureAdapter> OpenAdapter(std::span<const uint8_t> name, bool wide) override {
        std::string device = DecodeAdapterName(name, wide);
        const DeviceProbe probe = device.empty() ? DeviceProbe{} : ProbePcapDevice(pcap_, device);
        switch (probe.kind) {
            case DeviceProbe::Kind::noSuchDevice:
                lastError_ = ENODEV;
                return nullptr;
            case DeviceProbe::Kind::notActivated:
                lastError_ = ErrorCodeOfActivation(probe.status);
                return nullptr;
            case DeviceProbe::Kind::notEthernet:
                lastError_ = kWrongLinkType;
                return nullptr;
            case DeviceProbe::Kind::ethernet:
                break;
        }
        lastError_ = 0;
        return std::make_unique<PollingPcapAdapter>(pcap_, std::move(device));
    }

    AdapterAddressing Addressing(std::span<const uint8_t> name, bool wide) override {
        return PcapDeviceAddressing(pcap_, DecodeAdapterName(name, wide));
    }

    std::unique_ptr<CapturePacket> AllocatePacket() override {
        return std::make_unique<CapturePacket>();
    }

    unsigned long LastError() override { return lastError_; }

  private:
    const PcapFunctions& pcap_ = LinkedPcap();
    unsigned long lastError_ = 0;
};

}  // namespace

std::unique_ptr<CaptureLibrary> MakePcapCaptureLibrary() {
    return std::make_unique<PcapCaptureLibrary>();
}

}  // namespace korvane
