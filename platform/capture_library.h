#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace korvane {

// The largest frame the capture keeps whole: the largest IPv4 datagram (65,535 bytes) in an
// Ethernet frame.
inline constexpr uint32_t kLargestFrame = 65535 + 14;

// One classic BPF instruction, laid out like libpcap's bpf_insn.
struct BpfInstruction {
    uint16_t code = 0;
    uint8_t jt = 0;
    uint8_t jf = 0;
    uint32_t k = 0;
};

struct CaptureStats {
    uint32_t received = 0;
    uint32_t dropped = 0;
};

// Hardware filter value that puts an adapter into promiscuous mode.
constexpr uint32_t kPromiscuousFilter = 32;

// Size of the capture header in front of every frame of a batch (time stamp seconds and
// microseconds, captured length, length on the wire, header length; padded to 4 bytes).
constexpr uint16_t kCaptureHeaderLength = 20;

// The packet descriptor: the caller's batch buffer and what the latest read wrote into it.
// A batch is a run of records, each a capture header followed by the frame bytes, each record
// starting on a multiple of 4:
//   0  u32 time stamp seconds     4  u32 time stamp microseconds
//   8  u32 captured length       12  u32 length on the wire
//  16  u16 header length (the frame starts this many bytes after the record)
// All values in the machine's (little-endian) byte order.
//
// A read may instead leave its one frame where it lies, in the adapter's own memory, and say so in
// `inPlace`: then bytesReceived is 0, and the frame stays valid until the next read.
struct CapturedFrame {
    uint32_t seconds = 0;
    uint32_t micros = 0;
    uint32_t wireLength = 0;
    std::span<const uint8_t> bytes;
};

struct CapturePacket {
    std::span<uint8_t> buffer;
    uint32_t bytesReceived = 0;
    CapturedFrame inPlace;

    void Init(std::span<uint8_t> batchBuffer) {
        buffer = batchBuffer;
        bytesReceived = 0;
        inPlace = {};
    }
    // The records the latest read wrote into the buffer.
    std::span<const uint8_t> Records() const {
        return buffer.first(std::min<size_t>(bytesReceived, buffer.size()));
    }
    // Whether the latest read delivered anything, in the buffer or in place.
    bool Delivered() const { return bytesReceived != 0 || !inPlace.bytes.empty(); }
};

// Appends one record to a batch at `offset` and returns the offset of the next record, or
// nothing when the record does not fit in the buffer.
std::optional<size_t> AppendCaptureRecord(std::span<uint8_t> batch, size_t offset, uint32_t seconds,
                                          uint32_t micros, std::span<const uint8_t> frame,
                                          uint32_t wireLength);

// An opened capture adapter (or a capture file standing in for one).
class CaptureAdapter {
  public:
    virtual ~CaptureAdapter() = default;

    virtual bool SetHwFilter(uint32_t filter) = 0;
    virtual bool SetBuff(int bytes) = 0;
    virtual bool SetReadTimeout(int milliseconds) = 0;
    // Installs a filter program; the frames of later reads are those it accepts, cut to the
    // length it returns.
    virtual bool SetBpf(std::span<const BpfInstruction> program) = 0;
    // Reads one batch into the packet's buffer, waiting at most the read timeout, and sets
    // bytesReceived, or delivers one frame in place. False when the read failed.
    virtual bool ReceivePacket(CapturePacket& packet) = 0;
    virtual std::optional<CaptureStats> GetStats() = 0;
    // True once a source with an end (a capture file) has delivered its last frame.
    virtual bool AtEnd() const { return false; }
    // What went wrong in the latest failed step (activation, a read, a damaged capture file that
    // ended early); empty when nothing did.
    virtual std::string ErrorText() const { return {}; }
};

// What the machine's network configuration says of one adapter.
struct AdapterAddressing {
    bool loopback = false;              // the loopback adapter
    std::optional<uint32_t> firstIPv4;  // its first IPv4 address, in host byte order
};

// The packet-capture library: the adapter list, opening adapters and descriptors.
class CaptureLibrary {
  public:
    virtual ~CaptureLibrary() = default;

    // Why the library cannot capture at all (on Windows: Npcap is not installed); empty when it
    // can.
    virtual std::string Unavailable() { return {}; }
    virtual std::string Version() = 0;
    // The platform's version word; its top bit clear means the family whose adapter list comes
    // in the wide form.
    virtual uint32_t PlatformVersion() = 0;
    // Fills the buffer with the adapter list in the form the version word selects: wide (UTF-16LE
    // names, each ended by a 16-bit zero, an empty name ending the list, then 8-bit descriptions
    // ended the same way) or 8-bit (names only). False when the list cannot be had.
    virtual bool GetAdapterNames(std::span<uint8_t> buffer) = 0;
    // Opens the adapter of the given name as it was listed (wide or 8-bit characters, without
    // terminator). Nothing on failure, with LastError() telling why.
    virtual std::unique_ptr<CaptureAdapter> OpenAdapter(std::span<const uint8_t> name,
                                                        bool wide) = 0;
    // Whether `wanted`, as an operator gives it after "/adapter:", names the listed adapter of
    // this name and description. By default only the name itself does, as libpcap lists it.
    virtual bool AdapterNamed(std::string_view wanted, std::string_view name,
                              std::string_view description) const {
        (void)description;
        return wanted == name;
    }
    // The addressing of the adapter of the given name as it was listed.
    virtual AdapterAddressing Addressing(std::span<const uint8_t> name, bool wide) = 0;
    virtual std::unique_ptr<CapturePacket> AllocatePacket() = 0;
    virtual unsigned long LastError() = 0;
};

// True when a version word selects the wide form of the adapter list.
inline bool WantsWideAdapterList(uint32_t versionWord) {
    return (versionWord & 0x80000000u) == 0 || (versionWord & 0xFFu) < 4;
}

}  // namespace korvane
