#include "platform/pcap_adapter.h"

#include <vector>

namespace korvane {

namespace {
// Largest frame part a live capture keeps: the port filter keeps whole frames.
constexpr int kSnapLength = static_cast<int>(kLargestFrame);
}  // namespace

PcapAdapter::PcapAdapter(const PcapFunctions& pcap, std::string device)
    : pcap_(pcap), device_(std::move(device)), handle_(nullptr, PcapCloser{pcap.close}) {}

bool PcapAdapter::SetHwFilter(uint32_t filter) {
    if (handle_ != nullptr) {
        return false;
    }
    promiscuous_ = (filter & kPromiscuousFilter) != 0;
    return true;
}

bool PcapAdapter::SetBuff(int bytes) {
    if (handle_ != nullptr || bytes <= 0) {
        return false;
    }
    bufferBytes_ = bytes;
    return true;
}

bool PcapAdapter::SetReadTimeout(int milliseconds) {
    timeoutMs_ = milliseconds;
    return true;
}

bool PcapAdapter::SetBpf(std::span<const BpfInstruction> program) {
    if (!Activate()) {
        return false;
    }
    if (program.empty()) {
        errorText_ = "an empty filter program cannot be installed";
        return false;
    }
    std::vector<bpf_insn> insns = ToBpfInsns(program);
    bpf_program compiled{static_cast<u_int>(insns.size()), insns.data()};
    // The capture keeps as many bytes of each frame as the filter returns.
    if (pcap_.setFilter(handle_.get(), &compiled) != 0) {
        errorText_ = "installing the filter on " + device_ +
                     " failed: " + LibraryText(handle_.get(), PCAP_ERROR);
        return false;
    }
    return true;
}

bool PcapAdapter::ReceivePacket(CapturePacket& packet) {
    packet.bytesReceived = 0;
    packet.inPlace = {};
    if (packet.buffer.size() < kCaptureHeaderLength) {
        errorText_ = "a batch buffer of " + std::to_string(packet.buffer.size()) +
                     " bytes cannot hold a capture header";
        return false;
    }
    if (!Activate()) {
        return false;
    }
    batch_.Begin(packet.buffer);
    if (!Fill()) {
        return false;
    }
    packet.bytesReceived = static_cast<uint32_t>(batch_.End());
    return true;
}

std::optional<CaptureStats> PcapAdapter::GetStats() {
    pcap_stat stats{};
    if (handle_ == nullptr || pcap_.stats(handle_.get(), &stats) != 0) {
        return std::nullopt;
    }
    return CaptureStats{stats.ps_recv, stats.ps_drop};
}

int PcapAdapter::Dispatch(int count) {
    const int status = pcap_.dispatch(handle_.get(), count, &PcapAdapter::OnFrame,
                                      reinterpret_cast<u_char*>(this));
    if (status == PCAP_ERROR_BREAK) {
        return 0;  // the batch is full
    }
    if (status < 0) {
        errorText_ = "reading from " + device_ + " failed: " + LibraryText(handle_.get(), status);
        return -1;
    }
    return status;
}

std::string PcapAdapter::LibraryText(pcap_t* handle, int status) const {
    std::string detail = pcap_.getErr(handle);
    if (status == PCAP_ERROR) {
        return detail.empty() ? pcap_.statusToStr(status) : detail;
    }
    std::string text = pcap_.statusToStr(status);
    if (!detail.empty() && detail != text) {
        text += " (" + detail + ")";
    }
    return text;
}

bool PcapAdapter::Activate() {
    if (handle_ != nullptr) {
        return true;
    }
    if (activationFailed_) {
        return false;
    }
    int status = 0;
    PcapHandle handle = Start(promiscuous_, status);
    if (handle == nullptr && promiscuous_ && status == PCAP_ERROR_PROMISC_PERM_DENIED) {
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

PcapHandle PcapAdapter::Start(bool promiscuous, int& status) {
    status = PCAP_ERROR;
    char error[PCAP_ERRBUF_SIZE] = {};
    PcapHandle handle(pcap_.create(device_.c_str(), error), PcapCloser{pcap_.close});
    if (handle == nullptr) {
        errorText_ = "cannot open " + device_ + ": " + error;
        return handle;
    }
    pcap_t* h = handle.get();
    // The setters refuse only a handle that is already activated.
    const bool configured = pcap_.setSnaplen(h, kSnapLength) == 0 &&
                            pcap_.setPromisc(h, promiscuous ? 1 : 0) == 0 && Prepare(h) &&
                            (bufferBytes_ == 0 || pcap_.setBufferSize(h, bufferBytes_) == 0);
    status = configured ? pcap_.activate(h) : PCAP_ERROR_ACTIVATED;
    if (status < 0) {
        errorText_ = "cannot start capturing on " + device_ + ": " + LibraryText(h, status);
        handle.reset();
        return handle;
    }
    if (pcap_.setNonblock(h, 1, error) != 0) {
        errorText_ = "cannot make the capture on " + device_ + " non-blocking: " + error;
        handle.reset();
        return handle;
    }
    if (!Started(h)) {
        handle.reset();
    }
    return handle;
}

void PcapAdapter::OnFrame(u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
    auto* self = reinterpret_cast<PcapAdapter*>(user);
    // A frame that does not fit is held for the next read, and this one ends.
    if (!self->batch_.Take(static_cast<uint32_t>(header->ts.tv_sec),
                           static_cast<uint32_t>(header->ts.tv_usec), {bytes, header->caplen},
                           header->len)) {
        self->pcap_.breakLoop(self->handle_.get());
    }
}

}  // namespace korvane
