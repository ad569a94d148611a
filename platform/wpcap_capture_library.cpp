#include "platform/wpcap_capture_library.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/adapter_naming.h"
#include "platform/pcap_adapter.h"
#include "platform/pcap_devices.h"
#include "platform/pcap_functions.h"
#include "platform/wide_adapter_list.h"

namespace korvane {

namespace {

using SteadyClock = std::chrono::steady_clock;
// How often a read looks for frames while it waits: a frame on a quiet server is handled within
// a few hundredths of a second.
constexpr auto kPollInterval = std::chrono::milliseconds(10);

// A Windows error code for a failed activation, for the open failure line.
unsigned long ErrorCodeOfActivation(int status) {
    switch (status) {
        case PCAP_ERROR_NO_SUCH_DEVICE:
            return ERROR_FILE_NOT_FOUND;
        case PCAP_ERROR_PERM_DENIED:
        case PCAP_ERROR_PROMISC_PERM_DENIED:
            return ERROR_ACCESS_DENIED;
        case PCAP_ERROR_IFACE_NOT_UP:
            return ERROR_NOT_READY;
        default:
            return ERROR_GEN_FAILURE;
    }
}

// A live adapter that looks for frames every few milliseconds up to the read timeout. A blocking
// read may never time out while no frame comes (Wine hands reads to a libpcap that starts the
// timer only with the first frame). Frames are taken one at a time, so that a frame that does not
// fit is the only one held, whatever the library makes of a request for all it has (Wine's takes
// it for none).
class SleepingPcapAdapter final : public PcapAdapter {
  public:
    using PcapAdapter::PcapAdapter;

  private:
    bool Prepare(pcap_t* handle) override {
        return pcap_.setTimeout(handle, std::max(timeoutMs_, 1)) == 0;
    }

    bool Started(pcap_t*) override { return true; }

    bool Fill() override {
        const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs_);
        for (;;) {
            int status = 1;
            while (status > 0 && !batch_.Holding()) {
                status = Dispatch(1);
            }
            if (status < 0) {
                return false;
            }
            if (batch_.End() != 0 || timeoutMs_ < 0) {
                return true;
            }
            SteadyClock::duration wait = kPollInterval;
            if (timeoutMs_ > 0) {
                wait = std::min<SteadyClock::duration>(deadline - SteadyClock::now(), wait);
                if (wait <= SteadyClock::duration::zero()) {
                    return true;
                }
            }
            std::this_thread::sleep_for(wait);
        }
    }
};

class WpcapCaptureLibrary final : public CaptureLibrary {
  public:
    WpcapCaptureLibrary() : pcap_(SystemPcapFunctions(missing_)) {}

    std::string Unavailable() override { return pcap_ == nullptr ? missing_ : std::string(); }

    std::string Version() override {
        return pcap_ == nullptr ? std::string("(none)") : pcap_->libVersion();
    }

    uint32_t PlatformVersion() override {
        // The real version word, which chooses the form of the adapter list.
        return static_cast<uint32_t>(GetVersion());
    }

    bool GetAdapterNames(std::span<uint8_t> buffer) override {
        std::vector<AdapterEntry> adapters;
        const bool listed =
            pcap_ != nullptr && ForEachPcapDevice(*pcap_, [&](const pcap_if_t& d) {
                if (d.name != nullptr && d.name[0] != '\0') {
                    const bool described = d.description != nullptr && d.description[0] != '\0';
                    adapters.push_back({d.name, described ? d.description : d.name});
                }
            });
        if (!listed) {
            return false;
        }
        if (!WantsWideAdapterList(PlatformVersion())) {
            return WriteNarrowAdapterList(adapters, buffer).has_value();
        }
        return WriteWideAdapterList(adapters, buffer).has_value();
    }

    // Npcap's loopback adapter carries no Ethernet frames, and is refused.
    std::unique_ptr<CaptureAdapter> OpenAdapter(std::span<const uint8_t> name, bool wide) override {
        std::string device = DecodeAdapterName(name, wide);
        const DeviceProbe probe =
            pcap_ == nullptr || device.empty() ? DeviceProbe{} : ProbePcapDevice(*pcap_, device);
        switch (probe.kind) {
            case DeviceProbe::Kind::noSuchDevice:
                lastError_ = ERROR_FILE_NOT_FOUND;
                return nullptr;
            case DeviceProbe::Kind::notActivated:
                lastError_ = ErrorCodeOfActivation(probe.status);
                return nullptr;
            case DeviceProbe::Kind::notEthernet:
                lastError_ = ERROR_NOT_SUPPORTED;
                return nullptr;
            case DeviceProbe::Kind::ethernet:
                break;
        }
        lastError_ = 0;
        return std::make_unique<SleepingPcapAdapter>(*pcap_, std::move(device));
    }

    bool AdapterNamed(std::string_view wanted, std::string_view name,
                      std::string_view description) const override {
        return NamesNpcapAdapter(wanted, name, description);
    }

    AdapterAddressing Addressing(std::span<const uint8_t> name, bool wide) override {
        return pcap_ == nullptr ? AdapterAddressing{}
                                : PcapDeviceAddressing(*pcap_, DecodeAdapterName(name, wide));
    }

    std::unique_ptr<CapturePacket> AllocatePacket() override {
        return std::make_unique<CapturePacket>();
    }

    unsigned long LastError() override { return lastError_; }

  private:
    std::string missing_;
    const PcapFunctions* pcap_;
    unsigned long lastError_ = 0;
};

}  // namespace

std::unique_ptr<CaptureLibrary> MakeWpcapCaptureLibrary() {
    return std::make_unique<WpcapCaptureLibrary>();
}

}  // namespace korvane
