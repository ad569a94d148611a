#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

namespace korvane::tools {

// Writes Ethernet frames with their time stamps to a capture file, in the classic pcap format
// (microsecond time stamps, link type Ethernet) or as pcapng (one section, one interface).
class PcapFileWriter {
  public:
    enum class Format { pcap, pcapng };

    explicit PcapFileWriter(const std::string& path, Format format = Format::pcap);
    ~PcapFileWriter();
    PcapFileWriter(const PcapFileWriter&) = delete;
    PcapFileWriter& operator=(const PcapFileWriter&) = delete;

    // False when the file could not be created or a write failed.
    bool ok() const { return file_ != nullptr && !failed_; }
    // Appends one frame; `wireLength` 0 means the frame was captured whole.
    void Write(uint32_t seconds, uint32_t micros, std::span<const uint8_t> frame,
               uint32_t wireLength = 0);
    // Flushes and closes; returns ok().
    bool Close();

  private:
    void Put(const void* data, size_t size);
    void PutU16(uint16_t value);
    void PutU32(uint32_t value);

    std::FILE* file_ = nullptr;
    Format format_;
    bool failed_ = false;
};

}  // namespace korvane::tools
