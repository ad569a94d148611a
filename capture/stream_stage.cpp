#include "capture/stream_stage.h"

#include <algorithm>

#include "capture/byte_reader.h"
#include "capture/session_message.h"
#include "platform/format.h"

namespace korvane {

namespace {
constexpr size_t kSourceAddressOffset = FrameLayout::kSourceAddressOffset;
constexpr size_t kDestinationAddressOffset = FrameLayout::kDestinationAddressOffset;
constexpr size_t kTotalLengthOffset = FrameLayout::kIpv4Offset + 2;
constexpr size_t kSequenceOffset = FrameLayout::kTcpOffset + 4;
constexpr size_t kAcknowledgementOffset = FrameLayout::kTcpOffset + 8;
constexpr size_t kFlagsOffset = FrameLayout::kTcpOffset + 13;
constexpr size_t kWindowOffset = FrameLayout::kTcpOffset + 14;
constexpr size_t kIpAndTcpHeaders = FrameLayout::kPayloadOffset - FrameLayout::kIpv4Offset;
constexpr uint8_t kFin = 0x01;
constexpr uint8_t kSyn = 0x02;
constexpr uint8_t kRst = 0x04;
constexpr uint8_t kAck = 0x10;

}  // namespace

struct StreamStage::ClientSegment {
    TcpSegment tcp;
    uint32_t acknowledgement = 0;
    bool ack = false;
};

void StreamStage::Take(std::span<const uint8_t> frame) {
    const ByteReader reader(frame);
    const std::span<const uint8_t, 4> source(reader.Bytes(kSourceAddressOffset, 4).data(), 4);
    const uint16_t port = reader.NetU16(FrameLayout::kSourcePortOffset);
    const uint8_t flags = reader.U8(kFlagsOffset);
    // The payload ends where the IPv4 packet does: Ethernet pads short frames.
    const size_t packetEnd = FrameLayout::kIpv4Offset +
                             std::max<size_t>(reader.NetU16(kTotalLengthOffset), kIpAndTcpHeaders);
    const size_t payloadEnd = std::min(frame.size(), packetEnd);

    ClientSegment segment;
    segment.tcp.sequence = reader.NetU32(kSequenceOffset);
    segment.tcp.payload =
        reader.Bytes(FrameLayout::kPayloadOffset, payloadEnd - FrameLayout::kPayloadOffset);
    segment.tcp.syn = (flags & kSyn) != 0;
    segment.tcp.fin = (flags & kFin) != 0;
    segment.tcp.rst = (flags & kRst) != 0;
    segment.tcp.millis = clock_.Now().Millis();
    segment.ack = (flags & kAck) != 0;
    segment.acknowledgement = reader.NetU32(kAcknowledgementOffset);

    const ConnectionEnd end{source, port};
    if (segment.tcp.payload.empty() && (flags & (kSyn | kFin | kRst)) == 0) {
        // An acknowledgement alone makes no record; it may complete a handshake, where the
        // capture shows them.
        if (PlayerRecord* found = serverSegments_ == 0 ? nullptr : players_.FindConnection(end);
            found != nullptr && segment.ack &&
            found->handshake.stage() == Handshake::Stage::synAcked &&
            found->handshake.ClientAcknowledges(segment.acknowledgement)) {
            players_.GetConnection(end).trust = PlayerRecord::Trust::trusted;  // heard again
        }
        return;
    }
    if (segment.tcp.syn && segment.ack) {
        return;  // a client does not answer a SYN; the server drops it
    }
    PlayerRecord& record = players_.GetConnection(end);
    std::copy_n(frame.begin(), record.serverMac.size(), record.serverMac.begin());
    if (segment.tcp.syn) {
        const TcpStream::State state = record.stream.state();
        if (state == TcpStream::State::inStep || state == TcpStream::State::outOfStep) {
            return;  // the server answers a SYN on an open connection without opening another
        }
        // A new connection on this port: it has to be opened again. A SYN's data is not the
        // game's before the handshake completes.
        record.handshake.ClientSyn(segment.tcp.sequence);
        record.trust = PlayerRecord::Trust::undecided;
        players_.ReleaseId(record);
        segment.tcp.payload = {};
    } else if (!Admit(record, segment)) {
        return;
    }
    segment.tcp.window = record.handshake.window();

    current_ = &record;
    const TcpStream::Outcome outcome = record.stream.Take(segment.tcp, limits_, *this);
    current_ = nullptr;
    record.fragmentPending = record.stream.HoldsPart();
    boundsHit_ += outcome.overBound ? 1 : 0;
    outsideWindow_ += outcome.outsideWindow ? 1 : 0;
    if (outcome.differingCopy && !record.differingCopyWarned) {
        record.differingCopyWarned = true;
        if (!log_.TakesConnectionLine()) {
            return;
        }
        log_.LogEvent(
            StringPrintf("Warning: %s:%u sent bytes again that differ from the first "
                         "copy; the first copy stands, as the server reads it",
                         record.addressKey.c_str(), static_cast<unsigned>(port)));
    }
}

bool StreamStage::Admit(PlayerRecord& record, const ClientSegment& segment) {
    using Trust = PlayerRecord::Trust;
    using Stage = Handshake::Stage;
    switch (record.trust) {
        case Trust::trusted:
            // Once it has ended, a connection whose handshakes can be seen opens with one.
            return record.stream.state() != TcpStream::State::closed || serverSegments_ == 0 ||
                   record.handshake.stage() == Stage::unseen;
        case Trust::untrusted:
            return false;
        case Trust::undecided:
            break;
    }
    switch (record.handshake.stage()) {
        case Stage::established:
            record.trust = Trust::trusted;
            return true;
        case Stage::synAcked:
            if (segment.ack && record.handshake.ClientAcknowledges(segment.acknowledgement)) {
                record.trust = Trust::trusted;
                return true;
            }
            // The server drops what does not acknowledge its SYN-ACK; the client may still.
            if (!record.untrustedCounted) {
                record.untrustedCounted = true;
                ++untrusted_;
            }
            return false;
        case Stage::synSent:
            if (serverSegments_ == 0) {
                if (!oneWayWarned_) {
                    oneWayWarned_ = true;
                    log_.LogEvent(
                        "Warning: a client's SYN has no answer in the capture, which shows none "
                        "of the server's segments (a capture of one direction); connections are "
                        "followed on the continuity of their bytes");
                }
                record.trust = Trust::trusted;
                return true;
            }
            Distrust(record);  // the server's answer was not seen while others were
            return false;
        case Stage::refused:
            Distrust(record);
            return false;
        case Stage::unseen:
            if (serverSegments_ == 0 || segment.tcp.millis - startMillis_ <= kStartupMillis) {
                record.trust = Trust::trusted;
                return true;
            }
            Distrust(record);  // turned up late without a handshake
            return false;
    }
    return false;
}

void StreamStage::Distrust(PlayerRecord& record) {
    record.trust = PlayerRecord::Trust::untrusted;
    if (!record.untrustedCounted) {
        record.untrustedCounted = true;
        ++untrusted_;
    }
}

void StreamStage::TakeServer(std::span<const uint8_t> frame) {
    const ByteReader reader(frame);
    const uint8_t flags = reader.U8(kFlagsOffset);
    if ((flags & (kSyn | kRst)) == 0) {
        return;
    }
    const std::span<const uint8_t, 4> client(reader.Bytes(kDestinationAddressOffset, 4).data(), 4);
    const ConnectionEnd end{client, reader.NetU16(FrameLayout::kDestinationPortOffset)};
    PlayerRecord* found = players_.FindConnection(end);
    // The server's own frames leave from the adapter its clients' frames arrive at: one that
    // came in from elsewhere, however it names its source, is not the server's.
    if (found == nullptr ||
        !std::equal(found->serverMac.begin(), found->serverMac.end(), frame.begin() + 6)) {
        return;
    }
    PlayerRecord& record = players_.GetConnection(end);  // heard again
    ++serverSegments_;
    if ((flags & kRst) != 0) {
        record.handshake.ServerReset();
        record.stream.Reset();
        players_.ReleaseId(record);
        return;
    }
    if ((flags & kAck) == 0) {
        return;  // a SYN of the server's own: no connection of a client's
    }
    record.handshake.ServerSynAck(reader.NetU32(kSequenceOffset),
                                  reader.NetU32(kAcknowledgementOffset),
                                  reader.NetU16(kWindowOffset));
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
