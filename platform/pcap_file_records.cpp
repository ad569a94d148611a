#include "platform/pcap_file_records.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "capture/byte_reader.h"

namespace korvane {

namespace {

constexpr size_t kFileHeaderLength = 24;
constexpr size_t kRecordHeaderLength = 16;
constexpr uint32_t kMicroMagic = 0xA1B2C3D4;
constexpr uint32_t kNanoMagic = 0xA1B23C4D;
constexpr uint32_t kEthernet = 1;
// libpcap's largest snapshot length for Ethernet: a record claiming more is damage.
constexpr uint32_t kLargestSnapshot = 262144;
constexpr size_t kLargestRecord = kRecordHeaderLength + kLargestSnapshot;
// Each read of the file: large enough for few system calls, small enough for the window to
// stay in the cache.
constexpr size_t kReadBytes = 65536;

uint32_t Swapped(uint32_t value) {
    return (value >> 24) | ((value >> 8) & 0xFF00u) | ((value << 8) & 0xFF0000u) | (value << 24);
}

}  // namespace

PcapFileRecords::PcapFileRecords(std::FILE* file, bool swapped, bool nanoseconds, uint32_t snapshot)
    : file_(file),
      swapped_(swapped),
      nanoseconds_(nanoseconds),
      snapshot_(snapshot),
      // Each holds the largest record there can be, and a read.
      windows_{std::vector<uint8_t>(kLargestRecord + kReadBytes),
               std::vector<uint8_t>(kLargestRecord + kReadBytes)} {}

PcapFileRecords::~PcapFileRecords() {
    std::fclose(file_);
}

uint32_t PcapFileRecords::U32(size_t at) const {
    const uint32_t value = ByteReader(windows_[current_].data(), end_).U32(at);
    return swapped_ ? Swapped(value) : value;
}

std::unique_ptr<PcapFileRecords> PcapFileRecords::Of(std::FILE* file) {
    uint8_t bytes[kFileHeaderLength] = {};
    if (std::fread(bytes, 1, sizeof bytes, file) != sizeof bytes) {
        return nullptr;
    }
    const ByteReader header(bytes, sizeof bytes);
    const uint32_t magic = header.U32(0);
    const bool swapped = magic == Swapped(kMicroMagic) || magic == Swapped(kNanoMagic);
    const uint32_t own = swapped ? Swapped(magic) : magic;
    if (own != kMicroMagic && own != kNanoMagic) {
        return nullptr;
    }
    const auto field = [&](size_t at) {
        return swapped ? Swapped(header.U32(at)) : header.U32(at);
    };
    const auto field16 = [&](size_t at) {
        const uint16_t value = header.U16(at);
        return swapped ? static_cast<uint16_t>(value >> 8 | value << 8) : value;
    };
    if (field16(4) != 2 || field16(6) != 4 || field(20) != kEthernet) {
        return nullptr;
    }
    const uint32_t snapshot = field(16);
    // As libpcap: a snapshot length of 0 or past the largest is taken as the largest.
    return std::unique_ptr<PcapFileRecords>(new PcapFileRecords(
        file, swapped, own == kNanoMagic,
        snapshot == 0 || snapshot > kLargestSnapshot ? kLargestSnapshot : snapshot));
}

bool PcapFileRecords::Fill(size_t bytes) {
    while (end_ - next_ < bytes) {
        if (next_ > 0) {
            // The rest goes to the front of the other window, a few hundred bytes as a rule;
            // the record handed on before stays in this one.
            std::vector<uint8_t>& from = windows_[current_];
            current_ ^= 1;
            std::copy(from.begin() + static_cast<std::ptrdiff_t>(next_),
                      from.begin() + static_cast<std::ptrdiff_t>(end_), windows_[current_].begin());
            end_ -= next_;
            next_ = 0;
        }
        std::vector<uint8_t>& window = windows_[current_];
        const size_t wanted = std::min(window.size() - end_, std::max(bytes - end_, kReadBytes));
        const size_t got = std::fread(window.data() + end_, 1, wanted, file_);
        end_ += got;
        if (got == 0) {
            if (std::ferror(file_) != 0) {
                damage_ = std::string("read error: ") + std::strerror(errno);
            }
            return false;
        }
    }
    return true;
}

std::optional<CapturedFrame> PcapFileRecords::Next() {
    if (!damage_.empty()) {
        return std::nullopt;
    }
    if (!Fill(kRecordHeaderLength)) {
        if (damage_.empty() && end_ != next_) {
            damage_ = "truncated dump file; tried to read " + std::to_string(kRecordHeaderLength) +
                      " header bytes, only got " + std::to_string(end_ - next_);
        }
        return std::nullopt;
    }
    CapturedFrame frame;
    frame.seconds = U32(next_);
    const uint32_t fraction = U32(next_ + 4);
    frame.micros = nanoseconds_ ? fraction / 1000 : fraction;
    const uint32_t captured = U32(next_ + 8);
    frame.wireLength = U32(next_ + 12);
    if (captured > kLargestSnapshot) {
        damage_ = "invalid packet capture length " + std::to_string(captured) +
                  ", bigger than maximum of " + std::to_string(kLargestSnapshot);
        return std::nullopt;
    }
    if (!Fill(kRecordHeaderLength + captured)) {
        if (damage_.empty()) {
            damage_ = "truncated dump file; tried to read " + std::to_string(captured) +
                      " captured bytes, only got " +
                      std::to_string(end_ - next_ - kRecordHeaderLength);
        }
        return std::nullopt;
    }
    const size_t start = next_ + kRecordHeaderLength;
    frame.bytes =
        ByteReader(windows_[current_].data(), end_).Bytes(start, std::min(captured, snapshot_));
    next_ = start + captured;
    return frame;
}

}  // namespace korvane
