#include "platform/wpcap_capture_library.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/capture_batch.h"
#include "platform/pcap_functions.h"
#include "platform/wide_adapter_list.h"

namespace korvane {

namespace {

// Largest frame part a capture keeps; the installed filter cuts frames further.
constexpr int kSnapLength = 2048;

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

struct DeviceListFreer {
    decltype(&pcap_freealldevs) free = nullptr;
    void operator()(pcap_if_t* list) const { free(list); }
};
using DeviceList = std::unique_ptr<pcap_if_t, DeviceListFreer>;

// A live adapter. As on every libpcap, the buffer size, promiscuity and timeout are taken only
// before the handle is activated, so the setters store them and the first SetBpf or
// ReceivePacket activates it.
class WpcapAdapter final : public CaptureAdapter {
  public:
    WpcapAdapter(const PcapFunctions& pcap, std::string device)
        : pcap_(pcap), device_(std::move(device)), handle_(nullptr, PcapCloser{pcap.close}) {}

    bool SetHwFilter(uint32_t filter) override {
        if (handle_ != nullptr) {
            return false;
        }
        promiscuous_ = (filter & kPromiscuousFilter) != 0;
        return true;
    }

    bool SetBuff(int bytes) override {
        if (handle_ != nullptr || bytes <= 0) {
            return false;
        }
        bufferBytes_ = bytes;
        return true;
    }

    bool SetReadTimeout(int milliseconds) override {
        if (handle_ != nullptr) {
            return false;
        }
        timeoutMs_ = milliseconds;
        return true;
    }

    bool SetBpf(std::span<const BpfInstruction> program) override {
        if (!Activate()) {
            return false;
        }
        if (program.empty()) {
            errorText_ = "an empty filter program cannot be installed";
            return false;
        }
        std::vector<bpf_insn> insns = ToBpfInsns(program);
        bpf_program compiled{static_cast<u_int>(insns.size()), insns.data()};
        if (pcap_.setFilter(handle_.get(), &compiled) != 0) {
            errorText_ =
                "installing the filter on " + device_ + " failed: " + pcap_.getErr(handle_.get());
            return false;
        }
        return true;
    }

    bool ReceivePacket(CapturePacket& packet) override {
        packet.bytesReceived = 0;
        if (packet.buffer.size() < kCaptureHeaderLength) {
            errorText_ = "a batch buffer of " + std::to_string(packet.buffer.size()) +
                         " bytes cannot hold a capture header";
            return false;
        }
        if (!Activate()) {
            return false;
        }
        batch_.Begin(packet.buffer);
        // The capture is non-blocking and looked at every few milliseconds up to the read
        // timeout: a blocking read may never time out while no frame comes (Wine hands reads to
        // a libpcap that starts the timer only with the first frame). Frames are taken one at a
        // time, so that a frame that does not fit is the only one held, whatever the library
        // makes of a request for all it has. A frame held from the previous batch leads this
        // one; whatever else is waiting joins it.
        const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs_);
        for (;;) {
            int status = 1;
            while (status > 0 && !batch_.Holding()) {
                status = Dispatch(1);
            }
            if (status < 0) {
                return false;
            }
            const auto left = deadline - SteadyClock::now();
            if (batch_.End() != 0 || left <= SteadyClock::duration::zero()) {
                break;
            }
            std::this_thread::sleep_for(std::min<SteadyClock::duration>(left, kPollInterval));
        }
        packet.bytesReceived = static_cast<uint32_t>(batch_.End());
        return true;
    }

    std::optional<CaptureStats> GetStats() override {
        pcap_stat stats{};
        if (handle_ == nullptr || pcap_.stats(handle_.get(), &stats) != 0) {
            return std::nullopt;
        }
        return CaptureStats{stats.ps_recv, stats.ps_drop};
    }

    std::string ErrorText() const override { return errorText_; }

  private:
    bool Activate() {
        if (handle_ != nullptr) {
            return true;
        }
        if (activationFailed_) {
            return false;
        }
        int status = Start(promiscuous_);
        if (handle_ == nullptr && promiscuous_ && status == PCAP_ERROR_PROMISC_PERM_DENIED) {
            const std::string refused = errorText_;
            if (Start(false) >= 0) {
                errorText_ = "promiscuous mode refused, capturing without it: " + refused;
            }
        }
        activationFailed_ = handle_ == nullptr;
        return !activationFailed_;
    }

    // Creates and activates the handle with the stored settings; the activation's status.
    int Start(bool promiscuous) {
        char error[PCAP_ERRBUF_SIZE] = {};
        PcapHandle handle(pcap_.create(device_.c_str(), error), PcapCloser{pcap_.close});
        if (handle == nullptr) {
            errorText_ = "cannot open " + device_ + ": " + error;
            return PCAP_ERROR;
        }
        pcap_t* h = handle.get();
        const bool configured = pcap_.setSnaplen(h, kSnapLength) == 0 &&
                                pcap_.setPromisc(h, promiscuous ? 1 : 0) == 0 &&
                                pcap_.setTimeout(h, std::max(timeoutMs_, 1)) == 0 &&
                                (bufferBytes_ == 0 || pcap_.setBufferSize(h, bufferBytes_) == 0);
        const int status = configured ? pcap_.activate(h) : PCAP_ERROR_ACTIVATED;
        if (status < 0) {
            errorText_ = "cannot start capturing on " + device_ + ": " + pcap_.statusToStr(status);
            return status;
        }
        if (pcap_.setNonblock(h, 1, error) != 0) {
            errorText_ = "cannot make the capture on " + device_ + " non-blocking: " + error;
            return PCAP_ERROR;
        }
        handle_ = std::move(handle);
        return status;
    }

    // Reads at most `count` frames into the batch; how many, or a negative status on failure,
    // whose text is kept.
    int Dispatch(int count) {
        const int status = pcap_.dispatch(handle_.get(), count, &WpcapAdapter::OnFrame,
                                          reinterpret_cast<u_char*>(this));
        if (status < 0) {
            errorText_ = "reading from " + device_ + " failed: " + pcap_.getErr(handle_.get());
        }
        return status;
    }

    static void OnFrame(u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
        auto* self = reinterpret_cast<WpcapAdapter*>(user);
        self->batch_.Take(static_cast<uint32_t>(header->ts.tv_sec),
                          static_cast<uint32_t>(header->ts.tv_usec), {bytes, header->caplen},
                          header->len);
    }

    const PcapFunctions& pcap_;
    const std::string device_;
    PcapHandle handle_;  // null until activated
    bool activationFailed_ = false;
    bool promiscuous_ = false;
    int bufferBytes_ = 0;
    int timeoutMs_ = 1000;
    CaptureBatch batch_;
    std::string errorText_;
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
        if (pcap_ == nullptr) {
            return false;
        }
        char error[PCAP_ERRBUF_SIZE] = {};
        pcap_if_t* first = nullptr;
        if (pcap_->findAllDevs(&first, error) != 0) {
            return false;
        }
        DeviceList devices(first, DeviceListFreer{pcap_->freeAllDevs});
        std::vector<AdapterEntry> adapters;
        for (const pcap_if_t* d = devices.get(); d != nullptr; d = d->next) {
            if (d->name == nullptr || d->name[0] == '\0') {
                continue;
            }
            const bool described = d->description != nullptr && d->description[0] != '\0';
            adapters.push_back({d->name, described ? d->description : d->name});
        }
        if (!WantsWideAdapterList(PlatformVersion())) {
            return WriteNarrowAdapterList(adapters, buffer).has_value();
        }
        return WriteWideAdapterList(adapters, buffer).has_value();
    }

    std::unique_ptr<CaptureAdapter> OpenAdapter(std::span<const uint8_t> name, bool wide) override {
        std::string device = DecodeAdapterName(name, wide);
        if (pcap_ == nullptr || device.empty()) {
            lastError_ = ERROR_FILE_NOT_FOUND;
            return nullptr;
        }
        // A probe handle finds out whether the device exists, may be captured on and carries
        // Ethernet frames (Npcap's loopback adapter does not).
        char error[PCAP_ERRBUF_SIZE] = {};
        PcapHandle probe(pcap_->create(device.c_str(), error), PcapCloser{pcap_->close});
        if (probe == nullptr) {
            lastError_ = ERROR_FILE_NOT_FOUND;
            return nullptr;
        }
        const int status = pcap_->activate(probe.get());
        if (status < 0) {
            lastError_ = ErrorCodeOfActivation(status);
            return nullptr;
        }
        if (pcap_->datalink(probe.get()) != DLT_EN10MB) {
            lastError_ = ERROR_NOT_SUPPORTED;
            return nullptr;
        }
        lastError_ = 0;
        return std::make_unique<WpcapAdapter>(*pcap_, std::move(device));
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
