#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/capture_library.h"

namespace korvane {

// The records of a capture file in the classic pcap format (version 2.4, Ethernet, either byte
// order, micro- or nanosecond time stamps), read as libpcap reads them: a frame longer than the
// file's snapshot length is cut to it, nanoseconds become microseconds, and a record cut off or
// claiming more than the largest frame, or a read that fails, ends the file with the reason.
// Every other file, pcapng among them, is left to libpcap.
//
// The file is read in large pieces into two windows in turn, and the records are handed on from
// them in place: nothing is copied frame by frame, and what the windows hold stays small enough
// to stay in the processor's cache. A record that a read cut in two is copied to the front of
// the other window, so the record handed on before stays where it is.
class PcapFileRecords {
  public:
    // Reads the file's header and takes the file over; nothing unless it is of the kind above,
    // and the file is then the caller's still, read past its header.
    static std::unique_ptr<PcapFileRecords> Of(std::FILE* file);
    ~PcapFileRecords();
    PcapFileRecords(const PcapFileRecords&) = delete;
    PcapFileRecords& operator=(const PcapFileRecords&) = delete;

    // The next record, or nothing at the end of the file or at a damaged record, after which
    // Damage() tells what was wrong. The bytes of the record returned before stay valid as
    // well: a record is handed on after the next one has been read.
    std::optional<CapturedFrame> Next();
    // Empty at the regular end.
    const std::string& Damage() const { return damage_; }

  private:
    PcapFileRecords(std::FILE* file, bool swapped, bool nanoseconds, uint32_t snapshot);
    // Makes `bytes` bytes from next_ on available without moving the record returned before;
    // false when the file ends first.
    bool Fill(size_t bytes);
    uint32_t U32(size_t at) const;

    std::FILE* file_;  // owned: closed with the reader
    bool swapped_;
    bool nanoseconds_;
    uint32_t snapshot_;
    std::vector<uint8_t> windows_[2];
    size_t current_ = 0;  // the window read into
    size_t next_ = 0;     // the start of the next record in it
    size_t end_ = 0;      // the end of the bytes read into it
    std::string damage_;
};

}  // namespace korvane
