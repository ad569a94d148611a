#include "platform/replay_capture.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "platform/pcap_file_records.h"
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
    Impl(const PcapFunctions& library, ManualClock& runClock) : pcap(library), clock(runClock) {}

    // Moves the lookahead to the file's next frame. A damaged record (most often a cut-off last
    // one) ends the file there too, but unlike the regular end it leaves the reason in
    // errorText.
    void ReadAhead() {
        hasNext = false;
        if (records) {
            if (std::optional<CapturedFrame> frame = records->Next()) {
                next = *frame;
                hasNext = true;
            } else if (!records->Damage().empty()) {
                errorText = "capture file ends early: " + records->Damage();
            }
            return;
        }
        if (file == nullptr) {
            return;
        }
        pcap_pkthdr* header = nullptr;
        const u_char* data = nullptr;
        int status = pcap.nextEx(file.get(), &header, &data);
        if (status == 1) {
            // The data stays valid until the next pcap_next_ex call.
            next = {static_cast<uint32_t>(header->ts.tv_sec),
                    static_cast<uint32_t>(header->ts.tv_usec), header->len,
                    std::span<const uint8_t>(data, header->caplen)};
            hasNext = true;
            return;
        }
        // PCAP_ERROR_BREAK is the regular end.
        if (status == PCAP_ERROR) {
            errorText = std::string("capture file ends early: ") + pcap.getErr(file.get());
        }
        file.reset();
    }

    // Opens a capture file through libpcap, reading it through a large stdio buffer where the
    // library lets the program open the file itself.
    bool OpenThroughLibrary(const std::string& path, std::string& reason) {
        char error[PCAP_ERRBUF_SIZE] = {};
        if (pcap.fopenOffline != nullptr) {
            std::FILE* stream = std::fopen(path.c_str(), "rb");
            if (stream == nullptr) {
                reason = path + ": " + std::strerror(errno);
                return false;
            }
            fileBuffer = std::make_unique<char[]>(kFileBufferBytes);
            std::setvbuf(stream, fileBuffer.get(), _IOFBF, kFileBufferBytes);
            file.reset(pcap.fopenOffline(stream, error));
            if (file == nullptr) {
                std::fclose(stream);  // libpcap closes it only once it has taken it
            }
        } else {
            file.reset(pcap.openOffline(path.c_str(), error));
        }
        if (file == nullptr) {
            reason = error;
            return false;
        }
        int linkType = pcap.datalink(file.get());
        if (linkType != DLT_EN10MB) {
            reason = "not an Ethernet capture (link type " + LinkTypeText(pcap, linkType) + ")";
            return false;
        }
        return true;
    }

    ClockReading NextStamp() const {
        return {static_cast<int64_t>(next.seconds), static_cast<int32_t>(next.micros)};
    }

    // Whether the installed filter accepts the lookahead frame, and how many bytes it keeps.
    bool Accepts(uint32_t& keep) const {
        keep = static_cast<uint32_t>(next.bytes.size());
        if (filter.empty()) {
            return true;
        }
        keep = std::min(pcap.filter(filter.data(), next.bytes.data(), next.wireLength, keep), keep);
        return keep != 0;
    }

    void Consume() {
        ++framesRead;
        ReadAhead();
    }

    const PcapFunctions& pcap;
    // A classic pcap file is read by the program and its frames are handed on in place; any
    // other goes through libpcap, which copies each frame out of its stdio buffer.
    std::unique_ptr<PcapFileRecords> records;
    std::unique_ptr<char[]> fileBuffer;  // the file's stdio buffer, so it outlives the file
    PcapHandle file{nullptr, PcapCloser{pcap.close}};
    ManualClock& clock;
    std::vector<bpf_insn> filter;
    bool hasNext = false;
    CapturedFrame next;
    uint32_t framesRead = 0;
    std::string errorText;
};

std::unique_ptr<ReplayCapture> ReplayCapture::Open(const std::string& path, ManualClock& clock,
                                                   std::string& reason) {
    const PcapFunctions* pcap = SystemPcapFunctions(reason);
    if (pcap == nullptr) {
        return nullptr;
    }
    auto impl = std::make_unique<Impl>(*pcap, clock);
    // Only a file that can be opened again after a look at its header; a pipe or a device is
    // read through the library.
    std::error_code ignored;
    if (std::filesystem::is_regular_file(path, ignored)) {
        if (std::FILE* stream = std::fopen(path.c_str(), "rb")) {
            std::setvbuf(stream, nullptr, _IONBF, 0);  // the reader reads in large pieces
            impl->records = PcapFileRecords::Of(stream);
            if (!impl->records) {
                std::fclose(stream);
            }
        }
    }
    if (!impl->records && !impl->OpenThroughLibrary(path, reason)) {
        return nullptr;
    }
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
    packet.inPlace = {};
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
    const std::span<const uint8_t> frame = s.next.bytes.first(keep);
    if (s.records) {
        // The reader keeps the frame where it is until the read after the next.
        packet.inPlace = {static_cast<uint32_t>(stamp.seconds), static_cast<uint32_t>(stamp.micros),
                          s.next.wireLength, frame};
    } else {
        // libpcap's next read reuses the frame's memory, and the lookahead makes it now.
        AppendCaptureRecord(packet.buffer, 0, static_cast<uint32_t>(stamp.seconds),
                            static_cast<uint32_t>(stamp.micros), frame, s.next.wireLength);
        packet.bytesReceived = kCaptureHeaderLength + keep;
    }
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
