#include "capture/stream_stage.h"

#include <algorithm>

#include "capture/byte_reader.h"
#include "capture/session_message.h"
#include "platform/format.h"

namespace korvane {

namespace {
constexpr size_t kTotalLengthOffset = FrameLayout::kIpv4Offset + 2;
constexpr size_t kSequenceOffset = FrameLayout::kTcpOffset + 4;
constexpr size_t kFlagsOffset = FrameLayout::kTcpOffset + 13;
constexpr size_t kIpAndTcpHeaders = FrameLayout::kPayloadOffset - FrameLayout::kIpv4Offset;
constexpr uint8_t kFin = 0x01;
constexpr uint8_t kSyn = 0x02;
constexpr uint8_t kRst = 0x04;
}  // namespace

void StreamStage::Take(std::span<const uint8_t> frame) {
    const ByteReader reader(frame);
    const std::span<const uint8_t, 4> source(
        reader.Bytes(FrameLayout::kSourceAddressOffset, 4).data(), 4);
    const uint16_t port = reader.NetU16(FrameLayout::kSourcePortOffset);
    const uint8_t flags = reader.U8(kFlagsOffset);
    // The payload ends where the IPv4 packet does: Ethernet pads short frames.
    const size_t packetEnd = FrameLayout::kIpv4Offset +
                             std::max<size_t>(reader.NetU16(kTotalLengthOffset), kIpAndTcpHeaders);
    const size_t payloadEnd = std::min(frame.size(), packetEnd);
    const ClockReading now = clock_.Now();

    TcpSegment segment;
    segment.sequence = reader.NetU32(kSequenceOffset);
    segment.payload =
        reader.Bytes(FrameLayout::kPayloadOffset, payloadEnd - FrameLayout::kPayloadOffset);
    segment.syn = (flags & kSyn) != 0;
    segment.fin = (flags & kFin) != 0;
    segment.rst = (flags & kRst) != 0;
    segment.millis = now.seconds * 1000 + now.micros / 1000;

    if (segment.payload.empty() && (flags & (kSyn | kFin | kRst)) == 0) {
        return;  // an acknowledgement alone: nothing for the stream
    }
    PlayerRecord& record = players_.GetConnection({source, port});
    current_ = &record;
    const TcpStream::Outcome outcome = record.stream.Take(segment, limits_, *this);
    current_ = nullptr;
    record.fragmentPending = record.stream.HoldsPart();
    gapsGivenUp_ += outcome.gapGivenUp ? 1 : 0;
    boundsHit_ += outcome.overBound ? 1 : 0;
    if (outcome.differingCopy && !record.differingCopyWarned) {
        record.differingCopyWarned = true;
        log_.LogEvent(
            StringPrintf("Warning: %s:%u sent bytes again that differ from the first "
                         "copy; the first copy stands, as the server reads it",
                         record.addressKey.c_str(), static_cast<unsigned>(port)));
    }
}

void StreamStage::Message(std::span<const uint8_t> message) {
    // The message itself is whole: the record shows as holding a part only for what it holds
    // besides.
    current_->fragmentPending = current_->stream.HoldsOutOfOrder();
    try {
        dispatcher_.DispatchMessage(*current_, message);
    } catch (...) {
        // A message that cannot be read is dropped; the stream goes on.
    }
}

}  // namespace korvane
