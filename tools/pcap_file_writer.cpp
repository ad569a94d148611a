#include "tools/pcap_file_writer.h"

namespace korvane::tools {

namespace {
constexpr uint32_t kLinkTypeEthernet = 1;
constexpr uint32_t kSnapLength = 262144;
}  // namespace

PcapFileWriter::PcapFileWriter(const std::string& path, Format format) : format_(format) {
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr) {
        return;
    }
    if (format_ == Format::pcap) {
        PutU32(0xA1B2C3D4);  // magic, microsecond time stamps
        PutU16(2);
        PutU16(4);
        PutU32(0);  // time zone
        PutU32(0);  // accuracy
        PutU32(kSnapLength);
        PutU32(kLinkTypeEthernet);
    } else {
        // Section header block.
        PutU32(0x0A0D0D0A);
        PutU32(28);
        PutU32(0x1A2B3C4D);
        PutU16(1);
        PutU16(0);
        PutU32(0xFFFFFFFF);  // section length unknown
        PutU32(0xFFFFFFFF);
        PutU32(28);
        // Interface description block: Ethernet, default microsecond resolution.
        PutU32(1);
        PutU32(20);
        PutU16(static_cast<uint16_t>(kLinkTypeEthernet));
        PutU16(0);
        PutU32(kSnapLength);
        PutU32(20);
    }
}

PcapFileWriter::~PcapFileWriter() {
    Close();
}

bool PcapFileWriter::Close() {
    bool good = ok();
    if (file_ != nullptr) {
        if (std::fclose(file_) != 0) {
            good = false;
        }
        file_ = nullptr;
        failed_ = !good;
    }
    return good;
}

void PcapFileWriter::Write(uint32_t seconds, uint32_t micros, std::span<const uint8_t> frame,
                           uint32_t wireLength) {
    if (file_ == nullptr) {
        failed_ = true;
        return;
    }
    auto captured = static_cast<uint32_t>(frame.size());
    uint32_t onWire = wireLength == 0 ? captured : wireLength;
    if (format_ == Format::pcap) {
        PutU32(seconds);
        PutU32(micros);
        PutU32(captured);
        PutU32(onWire);
        Put(frame.data(), frame.size());
        return;
    }
    // Enhanced packet block; time stamp in microseconds since 1970 split into two words.
    uint32_t padded = (captured + 3) & ~3u;
    uint32_t blockLength = 32 + padded;
    uint64_t stamp = static_cast<uint64_t>(seconds) * 1000000u + micros;
    PutU32(6);
    PutU32(blockLength);
    PutU32(0);  // interface 0
    PutU32(static_cast<uint32_t>(stamp >> 32));
    PutU32(static_cast<uint32_t>(stamp));
    PutU32(captured);
    PutU32(onWire);
    Put(frame.data(), frame.size());
    static constexpr uint8_t kZeros[4] = {};
    Put(kZeros, padded - captured);
    PutU32(blockLength);
}

void PcapFileWriter::Put(const void* data, size_t size) {
    if (file_ == nullptr || size == 0) {
        return;
    }
    if (std::fwrite(data, 1, size, file_) != size) {
        failed_ = true;
    }
}

void PcapFileWriter::PutU16(uint16_t value) {
    uint8_t b[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
    Put(b, 2);
}

void PcapFileWriter::PutU32(uint32_t value) {
    uint8_t b[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                    static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    Put(b, 4);
}

}  // namespace korvane::tools
