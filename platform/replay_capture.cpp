#include "platform/replay_capture.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "platform/pcap_functions.h"

namespace korvane {

namespace {

constexpr int64_t kMicrosPerSecond = 1'000'000;
// libpcap reads a capture file through stdio, whose own buffer holds a few kilobytes: one read
// system call for every dozen or so frames. With this buffer it is one for thousands.
constexpr size_t kFileBufferBytes = 1 << 20;

int64_t MicrosBetween(const ClockReading& from, const ClockReading& to) {
    return (to.seconds - from.seconds) * kMicrosPerSecond + (to.micros - from.micros);
}

// libpcap's name and description of a link type, "RAW: Raw IP"; the bare number when it has
// none.
std::string LinkTypeText(const PcapFunctions& pcap, int linkType) {
    const char* name = pcap.datalinkName(linkType);
    const char* description = pcap.datalinkDescription(linkType);
    if (name == nullptr) {
        return std::to_string(linkType);
    }
    std::string text = name;
    if (description != nullptr) {
        text += ": ";
        text += description;
    }
    return text;
}

}  // namespace

struct ReplayCapture::Impl {
    Impl(const PcapFunctions& library, std::unique_ptr<char[]> streamBuffer, PcapHandle openedFile,
         ManualClock& runClock)
        : pcap(library),
          fileBuffer(std::move(streamBuffer)),
          file(std::move(openedFile)),
          clock(runClock) {}

    // Moves the lookahead to the file's next frame. A damaged record (most often a cut-off last
    // one) ends the file there too, but unlike the regular end it leaves libpcap's reason in
    // errorText.
    void ReadAhead() {
        hasNext = false;
        if (file == nullptr) {
            return;
        }
        pcap_pkthdr* header = nullptr;
        const u_char* data = nullptr;
        int status = pcap.nextEx(file.get(), &header, &data);
        if (status == 1) {
            // Both stay valid until the next pcap_next_ex call.
            nextHeader = header;
            nextData = data;
            hasNext = true;
            return;
        }
        // PCAP_ERROR_BREAK is the regular end.
        if (status == PCAP_ERROR) {
            errorText = std::string("capture file ends early: ") + pcap.getErr(file.get());
        }
        file.reset();
    }

    ClockReading NextStamp() const {
        return {static_cast<int64_t>(nextHeader->ts.tv_sec),
                static_cast<int32_t>(nextHeader->ts.tv_usec)};
    }

    // Whether the installed filter accepts the lookahead frame, and how many bytes it keeps.
    bool Accepts(uint32_t& keep) const {
        keep = nextHeader->caplen;
        if (filter.empty()) {
            return true;
        }
        keep = std::min(pcap.filter(filter.data(), nextData, nextHeader->len, nextHeader->caplen),
                        keep);
        return keep != 0;
    }

    void Consume() {
        ++framesRead;
        ReadAhead();
    }

    const PcapFunctions& pcap;
    std::unique_ptr<char[]> fileBuffer;  // the file's stdio buffer, so it outlives the file
    PcapHandle file;
    ManualClock& clock;
    std::vector<bpf_insn> filter;
    bool hasNext = false;
    const pcap_pkthdr* nextHeader = nullptr;
    const u_char* nextData = nullptr;
    uint32_t framesRead = 0;
    std::string errorText;
};

std::unique_ptr<ReplayCapture> ReplayCapture::Open(const std::string& path, ManualClock& clock,
                                                   std::string& reason) {
    const PcapFunctions* pcap = SystemPcapFunctions(reason);
    if (pcap == nullptr) {
        return nullptr;
    }
    std::unique_ptr<char[]> buffer;
    PcapHandle file(nullptr, PcapCloser{pcap->close});
    char error[PCAP_ERRBUF_SIZE] = {};
    if (pcap->fopenOffline != nullptr) {
        std::FILE* stream = std::fopen(path.c_str(), "rb");
        if (stream == nullptr) {
            reason = path + ": " + std::strerror(errno);
            return nullptr;
        }
        buffer = std::make_unique<char[]>(kFileBufferBytes);
        std::setvbuf(stream, buffer.get(), _IOFBF, kFileBufferBytes);
        file.reset(pcap->fopenOffline(stream, error));
        if (file == nullptr) {
            std::fclose(stream);  // libpcap closes it only once it has taken it
        }
    } else {
        file.reset(pcap->openOffline(path.c_str(), error));
    }
    if (file == nullptr) {
        reason = error;
        return nullptr;
    }
    int linkType = pcap->datalink(file.get());
    if (linkType != DLT_EN10MB) {
        reason = "not an Ethernet capture (link type " + LinkTypeText(*pcap, linkType) + ")";
        return nullptr;
    }
    auto impl = std::make_unique<Impl>(*pcap, std::move(buffer), std::move(file), clock);
    impl->ReadAhead();
    if (impl->hasNext) {
        clock.Set(impl->NextStamp());
    }
    return std::unique_ptr<ReplayCapture>(new ReplayCapture(std::move(impl)));
}

ReplayCapture::ReplayCapture(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

ReplayCapture::~ReplayCapture() = default;

bool ReplayCapture::SetHwFilter(uint32_t) {
    return true;
}

bool ReplayCapture::SetBuff(int) {
    return true;
}

bool ReplayCapture::SetReadTimeout(int) {
    return true;
}

bool ReplayCapture::SetBpf(std::span<const BpfInstruction> program) {
    if (program.empty() || program.size() > static_cast<size_t>(std::numeric_limits<int>::max())) {
        return false;
    }
    std::vector<bpf_insn> insns = ToBpfInsns(program);
    // The interpreter trusts its program; one with jumps or loads out of bounds is refused here
    // as the kernel would refuse it.
    if (impl_->pcap.validate(insns.data(), static_cast<int>(insns.size())) == 0) {
        return false;
    }
    impl_->filter = std::move(insns);
    return true;
}

bool ReplayCapture::ReceivePacket(CapturePacket& packet) {
    Impl& s = *impl_;
    packet.bytesReceived = 0;
    if (packet.buffer.size() < kCaptureHeaderLength) {
        return false;
    }
    // The filter in force now decides, also for a frame looked at by an earlier read.
    uint32_t keep = 0;
    while (s.hasNext && !s.Accepts(keep)) {
        s.Consume();
    }
    ClockReading now = s.clock.Now();
    if (!s.hasNext || MicrosBetween(now, s.NextStamp()) > kMicrosPerSecond) {
        // Nothing within the read timeout: the read returns empty a second later.
        s.clock.AdvanceMicros(kMicrosPerSecond);
        return true;
    }
    ClockReading stamp = s.NextStamp();
    if (MicrosBetween(now, stamp) > 0) {
        s.clock.Set(stamp);
    }
    keep = std::min<uint32_t>(
        keep, static_cast<uint32_t>(std::min<size_t>(packet.buffer.size() - kCaptureHeaderLength,
                                                     std::numeric_limits<uint32_t>::max())));
    AppendCaptureRecord(packet.buffer, 0, static_cast<uint32_t>(stamp.seconds),
                        static_cast<uint32_t>(stamp.micros), {s.nextData, keep}, s.nextHeader->len);
    packet.bytesReceived = kCaptureHeaderLength + keep;
    s.Consume();
    return true;
}

std::optional<CaptureStats> ReplayCapture::GetStats() {
    return CaptureStats{impl_->framesRead, 0};
}

bool ReplayCapture::AtEnd() const {
    return !impl_->hasNext;
}

std::string ReplayCapture::ErrorText() const {
    return impl_->errorText;
}

}  // namespace korvane
