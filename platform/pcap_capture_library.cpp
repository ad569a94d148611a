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
#include <string>
#include <string_view>
#include <vector>

#include "platform/wide_adapter_list.h"

namespace korvane {

namespace {

static_assert(sizeof(BpfInstruction) == sizeof(bpf_insn));
static_assert(offsetof(BpfInstruction, code) == offsetof(bpf_insn, code));
static_assert(offsetof(BpfInstruction, jt) == offsetof(bpf_insn, jt));
static_assert(offsetof(BpfInstruction, jf) == offsetof(bpf_insn, jf));
static_assert(offsetof(BpfInstruction, k) == offsetof(bpf_insn, k));

// The version word of an NT-family platform (top bit clear), major version 10: the adapter list
// comes in the wide form.
constexpr uint32_t kPlatformVersionWord = 0x0000000A;

// Largest frame part a live capture keeps; the installed filter cuts frames further.
constexpr int kSnapLength = 262144;

// The code LastError() gives when an adapter's link type is not Ethernet.
#ifdef EMEDIUMTYPE
constexpr unsigned long kWrongLinkType = EMEDIUMTYPE;
#else
constexpr unsigned long kWrongLinkType = EPROTONOSUPPORT;
#endif

struct PcapCloser {
    void operator()(pcap_t* handle) const { pcap_close(handle); }
};
using PcapHandle = std::unique_ptr<pcap_t, PcapCloser>;

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

// The adapter name from its table slot: the low bytes of UTF-16LE units in the wide form, the
// bytes themselves otherwise; a zero ends it.
std::string DecodeAdapterName(std::span<const uint8_t> name, bool wide) {
    std::string text;
    if (wide) {
        for (size_t i = 0; i + 1 < name.size(); i += 2) {
            if (name[i] == 0 && name[i + 1] == 0) {
                break;
            }
            text += static_cast<char>(name[i]);
        }
    } else {
        for (uint8_t c : name) {
            if (c == 0) {
                break;
            }
            text += static_cast<char>(c);
        }
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

// A live adapter. libpcap takes the buffer size, promiscuity and timeout only before the handle
// is activated, so the setters store them and the first SetBpf or ReceivePacket activates.
class PcapAdapter final : public CaptureAdapter {
  public:
    explicit PcapAdapter(PcapHandle handle) : handle_(std::move(handle)) {}

    bool SetHwFilter(uint32_t filter) override {
        if (activated_) {
            return false;
        }
        promiscuous_ = (filter & kPromiscuousFilter) != 0;
        return true;
    }

    bool SetBuff(int bytes) override {
        if (activated_ || bytes <= 0) {
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
        if (!Activate() || program.empty()) {
            return false;
        }
        std::vector<bpf_insn> insns(program.size());
        for (size_t i = 0; i < program.size(); ++i) {
            insns[i] = {program[i].code, program[i].jt, program[i].jf, program[i].k};
        }
        bpf_program compiled{static_cast<u_int>(insns.size()), insns.data()};
        // The kernel keeps as many bytes of each frame as the filter returns.
        return pcap_setfilter(handle_.get(), &compiled) == 0;
    }

    bool ReceivePacket(CapturePacket& packet) override {
        packet.bytesReceived = 0;
        if (packet.buffer.size() < kCaptureHeaderLength || !Activate()) {
            return false;
        }
        Batch batch{packet.buffer, 0, 0, &held_, handle_.get()};
        if (held_.present) {
            AppendToBatch(batch, held_.seconds, held_.micros, held_.data, held_.wireLength);
            held_.present = false;
            held_.data.clear();
        }
        bool delivered = batch.end != 0;
        if (delivered) {
            // Whatever else is already waiting joins the batch without further wait.
            delivered = Dispatch(batch);
        } else {
            delivered = WaitAndDispatch(batch);
        }
        if (!delivered) {
            return false;
        }
        packet.bytesReceived = static_cast<uint32_t>(batch.end);
        return true;
    }

    std::optional<CaptureStats> GetStats() override {
        pcap_stat stats{};
        if (!activated_ || pcap_stats(handle_.get(), &stats) != 0) {
            return std::nullopt;
        }
        return CaptureStats{stats.ps_recv, stats.ps_drop};
    }

  private:
    // A frame that did not fit in the previous batch; it leads the next one.
    struct HeldFrame {
        bool present = false;
        uint32_t seconds = 0;
        uint32_t micros = 0;
        uint32_t wireLength = 0;
        std::vector<uint8_t> data;
    };

    struct Batch {
        std::span<uint8_t> buffer;
        size_t next = 0;  // where the next record goes
        size_t end = 0;   // end of the last record's frame
        HeldFrame* held = nullptr;
        pcap_t* handle = nullptr;
    };

    bool Activate() {
        if (activated_) {
            return true;
        }
        if (activationFailed_) {
            return false;
        }
        pcap_t* h = handle_.get();
        bool configured = pcap_set_snaplen(h, kSnapLength) == 0 &&
                          pcap_set_promisc(h, promiscuous_ ? 1 : 0) == 0 &&
                          pcap_set_timeout(h, std::max(timeoutMs_, 1)) == 0 &&
                          pcap_set_immediate_mode(h, 1) == 0 &&
                          (bufferBytes_ == 0 || pcap_set_buffer_size(h, bufferBytes_) == 0);
        char error[PCAP_ERRBUF_SIZE] = {};
        if (!configured || pcap_activate(h) < 0 || pcap_datalink(h) != DLT_EN10MB ||
            pcap_setnonblock(h, 1, error) != 0 || (selectableFd_ = pcap_get_selectable_fd(h)) < 0) {
            activationFailed_ = true;
            return false;
        }
        activated_ = true;
        return true;
    }

    // Appends one frame to the batch. The first frame of a batch always goes in, cut to the
    // buffer if need be; a later one that does not fit is held for the next read.
    static bool AppendToBatch(Batch& batch, uint32_t seconds, uint32_t micros,
                              std::span<const uint8_t> frame, uint32_t wireLength) {
        if (batch.next == 0) {
            frame = frame.first(std::min(frame.size(), batch.buffer.size() - kCaptureHeaderLength));
        }
        auto next =
            AppendCaptureRecord(batch.buffer, batch.next, seconds, micros, frame, wireLength);
        if (!next) {
            return false;
        }
        batch.end = batch.next + kCaptureHeaderLength + frame.size();
        batch.next = *next;
        return true;
    }

    static void OnFrame(u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
        auto& batch = *reinterpret_cast<Batch*>(user);
        auto seconds = static_cast<uint32_t>(header->ts.tv_sec);
        auto micros = static_cast<uint32_t>(header->ts.tv_usec);
        std::span<const uint8_t> frame(bytes, header->caplen);
        if (batch.held->present || AppendToBatch(batch, seconds, micros, frame, header->len)) {
            return;
        }
        HeldFrame& held = *batch.held;
        held.present = true;
        held.seconds = seconds;
        held.micros = micros;
        held.wireLength = header->len;
        held.data.assign(frame.begin(), frame.end());
        pcap_breakloop(batch.handle);
    }

    // Reads what libpcap has waiting into the batch; false on a capture error.
    bool Dispatch(Batch& batch) {
        int status = pcap_dispatch(handle_.get(), -1, &PcapAdapter::OnFrame,
                                   reinterpret_cast<u_char*>(&batch));
        return status >= 0 || status == PCAP_ERROR_BREAK;
    }

    // Waits for frames at most the read timeout and reads them; false on a capture error.
    bool WaitAndDispatch(Batch& batch) {
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
                return false;
            }
            if (ready > 0) {
                if (!Dispatch(batch)) {
                    return false;
                }
                if (batch.end != 0) {
                    return true;
                }
            }
            if (timeoutMs_ < 0 || (timeoutMs_ > 0 && SteadyClock::now() >= deadline)) {
                return true;
            }
        }
    }

    PcapHandle handle_;
    bool activated_ = false;
    bool activationFailed_ = false;
    bool promiscuous_ = false;
    int bufferBytes_ = 0;
    int timeoutMs_ = 1000;
    int selectableFd_ = -1;
    HeldFrame held_;
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
        // Ethernet frames; the real handle stays unactivated until its settings are known.
        PcapHandle probe(pcap_create(device.c_str(), error));
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
        probe.reset();
        PcapHandle handle(pcap_create(device.c_str(), error));
        if (handle == nullptr) {
            lastError_ = ENODEV;
            return nullptr;
        }
        lastError_ = 0;
        return std::make_unique<PcapAdapter>(std::move(handle));
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
