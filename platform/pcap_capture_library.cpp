#include "platform/pcap_capture_library.h"

#include <arpa/inet.h>
#include <netinet/in.h>
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

#include "platform/capture_batch.h"
#include "platform/pcap_functions.h"
#include "platform/wide_adapter_list.h"

namespace korvane {

namespace {

// The version word of an NT-family platform (top bit clear), major version 10: the adapter list
// comes in the wide form.
constexpr uint32_t kPlatformVersionWord = 0x0000000A;

// Largest frame part a live capture keeps; the installed filter cuts frames further (neither of
// the program's filters keeps more than 1500 bytes). The capture is not in immediate mode: the
// kernel packs frames by their own length into blocks of its ring and hands a block over when it
// is full or a short time has passed, as the capture driver's buffer fills and a read returns.
// So the 1 MiB buffer holds thousands of game frames. In immediate mode every frame took a slot
// sized from this length: about 490 frames (on lo, which sees each frame leave and arrive, half as
// many), and a game session put onto lo at 100,000 frames a second lost half of its frames.
constexpr int kSnapLength = 2048;

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

struct DeviceListFreer {
    void operator()(pcap_if_t* list) const { pcap_freealldevs(list); }
};
using DeviceList = std::unique_ptr<pcap_if_t, DeviceListFreer>;

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
    for (const pcap_addr_t* a = device.addresses; a != nullptr; a = a->next) {
        if (a->addr == nullptr || a->addr->sa_family != AF_INET) {
            continue;
        }
        sockaddr_in address{};
        std::copy_n(reinterpret_cast<const uint8_t*>(a->addr), sizeof address,
                    reinterpret_cast<uint8_t*>(&address));
        std::array<char, INET_ADDRSTRLEN> dotted{};
        if (inet_ntop(AF_INET, &address.sin_addr, dotted.data(), dotted.size()) != nullptr) {
            text += ' ';
            text += dotted.data();
        }
        break;
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

// The text libpcap gives for a failed call on `handle`: its own message, led by the meaning of
// the status code where that says more than "generic error".
std::string LibraryText(pcap_t* handle, int status) {
    std::string detail = pcap_geterr(handle);
    if (status == PCAP_ERROR) {
        return detail.empty() ? pcap_statustostr(status) : detail;
    }
    std::string text = pcap_statustostr(status);
    if (!detail.empty() && detail != text) {
        text += " (" + detail + ")";
    }
    return text;
}

// A live adapter. libpcap takes the buffer size, promiscuity and timeout only before the handle
// is activated, so the setters store them and the first SetBpf or ReceivePacket creates and
// activates the handle. What went wrong there, or in a later read, stays in ErrorText().
class PcapAdapter final : public CaptureAdapter {
  public:
    explicit PcapAdapter(std::string device) : device_(std::move(device)) {}

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

    // A positive timeout bounds each read; 0 waits until frames arrive; a negative one returns at
    // once.
    bool SetReadTimeout(int milliseconds) override {
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
        // The kernel keeps as many bytes of each frame as the filter returns.
        if (pcap_setfilter(handle_.get(), &compiled) != 0) {
            errorText_ = "installing the filter on " + device_ +
                         " failed: " + LibraryText(handle_.get(), PCAP_ERROR);
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
        // When the held frame began the batch, whatever else is already waiting joins it without
        // further wait.
        if (!(batch_.End() != 0 ? Dispatch() : WaitAndDispatch())) {
            return false;
        }
        packet.bytesReceived = static_cast<uint32_t>(batch_.End());
        return true;
    }

    std::optional<CaptureStats> GetStats() override {
        pcap_stat stats{};
        if (handle_ == nullptr || pcap_stats(handle_.get(), &stats) != 0) {
            return std::nullopt;
        }
        return CaptureStats{stats.ps_recv, stats.ps_drop};
    }

    std::string ErrorText() const override { return errorText_; }

  private:
    // Creates and activates the handle once; a failure is final and its text stays.
    bool Activate() {
        if (handle_ != nullptr) {
            return true;
        }
        if (activationFailed_) {
            return false;
        }
        int status = 0;
        PcapHandle handle = Start(promiscuous_, status);
        if (handle == nullptr && promiscuous_ && status == PCAP_ERROR_PROMISC_PERM_DENIED) {
            // Capturing the host's own traffic needs no promiscuous mode; go on without it.
            const std::string refused = errorText_;
            handle = Start(false, status);
            if (handle != nullptr) {
                errorText_ = "promiscuous mode refused, capturing without it: " + refused;
            }
        }
        if (handle == nullptr) {
            activationFailed_ = true;
            return false;
        }
        handle_ = std::move(handle);
        return true;
    }

    // A handle on the device with the stored settings, activated and non-blocking; nothing on
    // failure, with `status` the activation's result and the reason in errorText_. The device's
    // link type is not checked again: OpenAdapter has refused any that is not Ethernet.
    PcapHandle Start(bool promiscuous, int& status) {
        status = PCAP_ERROR;
        char error[PCAP_ERRBUF_SIZE] = {};
        PcapHandle handle(pcap_create(device_.c_str(), error), PcapCloser{&pcap_close});
        if (handle == nullptr) {
            errorText_ = "cannot open " + device_ + ": " + error;
            return nullptr;
        }
        pcap_t* h = handle.get();
        // The setters refuse only a handle that is already activated.
        const bool configured =
            pcap_set_snaplen(h, kSnapLength) == 0 &&
            pcap_set_promisc(h, promiscuous ? 1 : 0) == 0 &&
            pcap_set_timeout(h, std::clamp(timeoutMs_, 1, kBlockTimeoutMs)) == 0 &&
            pcap_set_immediate_mode(h, 0) == 0 &&
            (bufferBytes_ == 0 || pcap_set_buffer_size(h, bufferBytes_) == 0);
        status = configured ? pcap_activate(h) : PCAP_ERROR_ACTIVATED;
        if (status < 0) {
            errorText_ = "cannot start capturing on " + device_ + ": " + LibraryText(h, status);
            return nullptr;
        }
        if (pcap_setnonblock(h, 1, error) != 0) {
            errorText_ = "cannot make the capture on " + device_ + " non-blocking: " + error;
            return nullptr;
        }
        selectableFd_ = pcap_get_selectable_fd(h);
        if (selectableFd_ < 0) {
            errorText_ = "the capture on " + device_ + " cannot be waited for";
            return nullptr;
        }
        return handle;
    }

    // A frame from libpcap: into the batch, or held for the next read when the batch is full.
    void TakeFrame(const pcap_pkthdr& header, const u_char* bytes) {
        if (!batch_.Take(static_cast<uint32_t>(header.ts.tv_sec),
                         static_cast<uint32_t>(header.ts.tv_usec), {bytes, header.caplen},
                         header.len)) {
            pcap_breakloop(handle_.get());
        }
    }

    static void OnFrame(u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
        reinterpret_cast<PcapAdapter*>(user)->TakeFrame(*header, bytes);
    }

    // Reads what libpcap has waiting into the batch; false on a capture error.
    bool Dispatch() {
        int status = pcap_dispatch(handle_.get(), -1, &PcapAdapter::OnFrame,
                                   reinterpret_cast<u_char*>(this));
        if (status >= 0 || status == PCAP_ERROR_BREAK) {
            return true;
        }
        errorText_ = "reading from " + device_ + " failed: " + LibraryText(handle_.get(), status);
        return false;
    }

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
                if (!Dispatch()) {
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

    const std::string device_;
    PcapHandle handle_;  // null until activated
    bool activationFailed_ = false;
    bool promiscuous_ = false;
    int bufferBytes_ = 0;
    int timeoutMs_ = 1000;
    int selectableFd_ = -1;
    CaptureBatch batch_;
    std::string errorText_;
};

class PcapCaptureLibrary final : public CaptureLibrary {
  public:
    std::string Version() override { return pcap_lib_version(); }

    uint32_t PlatformVersion() override { return kPlatformVersionWord; }

    bool GetAdapterNames(std::span<uint8_t> buffer) override {
        char error[PCAP_ERRBUF_SIZE] = {};
        pcap_if_t* first = nullptr;
        if (pcap_findalldevs(&first, error) != 0) {
            return false;
        }
        DeviceList devices(first);
        std::vector<AdapterEntry> adapters;
        for (const pcap_if_t* d = devices.get(); d != nullptr; d = d->next) {
            if (d->name == nullptr || d->name[0] == '\0' || IsNonEthernetPseudoDevice(d->name)) {
                continue;
            }
            adapters.push_back({d->name, DescribeDevice(*d)});
        }
        return WriteWideAdapterList(adapters, buffer).has_value();
    }

    std::unique_ptr<CaptureAdapter> OpenAdapter(std::span<const uint8_t> name, bool wide) override {
        std::string device = DecodeAdapterName(name, wide);
        if (device.empty()) {
            lastError_ = ENODEV;
            return nullptr;
        }
        char error[PCAP_ERRBUF_SIZE] = {};
        // A probe handle finds out whether the device exists, may be captured on and carries
        // Ethernet frames. This is the one place the link type is checked: what the adapter later
        // activates is the same device. Its own handle is made once its settings are known.
        PcapHandle probe(pcap_create(device.c_str(), error), PcapCloser{&pcap_close});
        if (probe == nullptr) {
            lastError_ = ENODEV;
            return nullptr;
        }
        int status = pcap_activate(probe.get());
        if (status < 0) {
            lastError_ = ErrorCodeOfActivation(status);
            return nullptr;
        }
        if (pcap_datalink(probe.get()) != DLT_EN10MB) {
            lastError_ = kWrongLinkType;
            return nullptr;
        }
        lastError_ = 0;
        return std::make_unique<PcapAdapter>(std::move(device));
    }

    std::unique_ptr<CapturePacket> AllocatePacket() override {
        return std::make_unique<CapturePacket>();
    }

    unsigned long LastError() override { return lastError_; }

  private:
    unsigned long lastError_ = 0;
};

}  // namespace

std::unique_ptr<CaptureLibrary> MakePcapCaptureLibrary() {
    return std::make_unique<PcapCaptureLibrary>();
}

}  // namespace korvane
