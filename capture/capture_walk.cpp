#include "capture/capture_walk.h"

#include "capture/byte_reader.h"
#include "capture/frame_checksums.h"
#include "capture/frame_headers.h"
#include "capture/session_message.h"
#include "platform/format.h"

namespace korvane {

namespace {
// Offsets within one record of the capture buffer (machine byte order).
constexpr size_t kCapturedLengthOffset = 8;
constexpr size_t kHeaderLengthOffset = 16;
constexpr size_t kRecordFieldsLength = 18;

constexpr size_t kTokenOffset = FrameLayout::kPayloadOffset + SessionMessage::kTokenOffset;
constexpr size_t kCodeOffset = FrameLayout::kPayloadOffset + SessionMessage::kCommandOffset;
}  // namespace

void CaptureWalk::WalkCaptureBuffer(std::span<const uint8_t> buffer) {
    const ByteReader records(buffer);
    size_t offset = 0;
    while (offset < buffer.size() && records.Has(offset, kRecordFieldsLength)) {
        const size_t captured = records.U32(offset + kCapturedLengthOffset);
        const size_t header = records.U16(offset + kHeaderLengthOffset);
        if (!records.Has(offset + header, captured)) {
            return;  // the frame would run past the bytes the driver wrote
        }
        const size_t next = (offset + header + captured + 3) & ~size_t{3};
        WalkFrame(records.Bytes(offset + header, captured));
        if (next <= offset) {
            return;  // an empty record would hold the walk here for ever
        }
        offset = next;
    }
}

void CaptureWalk::WalkDelivery(const CapturePacket& read) {
    if (!read.inPlace.bytes.empty()) {
        WalkFrame(read.inPlace.bytes);
    } else {
        WalkCaptureBuffer(read.Records());
    }
}

void CaptureWalk::WalkFrame(std::span<const uint8_t> captured) {
    try {
        analyzePacket_port_2300(captured);
    } catch (...) {
        // A frame that cannot be handled is dropped; the walk goes on.
    }
}

void CaptureWalk::analyzePacket_port_2300(std::span<const uint8_t> captured) {
    const PlainFrame plain = PlainTcpFrame(captured, plainFrame_);
    if (plain.fragment && !plain.ipv4Tcp) {
        TakeFragment(captured);  // a later fragment: its port fields are not there
        return;
    }
    const ByteReader frame(plain.bytes);
    const bool traced = frame.size() > kMinimumFrame;
    if (!traced && !plain.ipv4Tcp) {
        return;
    }
    if (traced && settings_.debugTrace) {
        const std::span<const uint8_t> source = frame.Bytes(FrameLayout::kSourceAddressOffset, 4);
        const std::span<const uint8_t> destination =
            frame.Bytes(FrameLayout::kDestinationAddressOffset, 4);
        // The code word lies beyond the shortest frames; there it is absent, and shown as 0.
        const uint16_t code = frame.Has(kCodeOffset, 2) ? frame.U16(kCodeOffset) : 0;
        console_.Write(StringPrintf("%d.%d.%d.%d.%d -> %d.%d.%d.%d.%d (code=%04x) len=%d\n",
                                    source[0], source[1], source[2], source[3],
                                    frame.NetU16(FrameLayout::kSourcePortOffset), destination[0],
                                    destination[1], destination[2], destination[3],
                                    frame.NetU16(FrameLayout::kDestinationPortOffset), code,
                                    static_cast<int>(frame.size())));
    }
    if (!plain.ipv4Tcp) {
        return;
    }
    if (plain.fragment) {
        TakeFragment(captured);
        return;
    }
    AnalyzeSegment(plain.bytes, traced, captured);
}

bool CaptureWalk::ChecksumsSound(std::span<const uint8_t> captured) {
    if (ChecksumsHold(captured, localAddress_)) {
        return true;
    }
    ++badChecksums_;
    return false;
}

void CaptureWalk::TakeFragment(std::span<const uint8_t> captured) {
    const ByteReader frame(captured);
    if (frame.size() < FrameLayout::kTcpOffset ||
        frame.NetU32(FrameLayout::kDestinationAddressOffset) != localAddress_) {
        return;  // only the server's IP layer puts datagrams together for it
    }
    if (!Ipv4HeaderChecksumHolds(captured, localAddress_)) {
        ++badChecksums_;
        return;
    }
    const std::optional<std::span<const uint8_t>> datagram =
        fragments_.Take(captured, clock_.Now().Millis());
    if (!datagram) {
        return;
    }
    const PlainFrame whole = PlainTcpFrame(*datagram, plainFrame_);
    if (!whole.ipv4Tcp || whole.fragment) {
        return;
    }
    AnalyzeSegment(whole.bytes, whole.bytes.size() > kMinimumFrame, *datagram);
}

void CaptureWalk::AnalyzeSegment(std::span<const uint8_t> plain, bool traced,
                                 std::span<const uint8_t> captured) {
    const ByteReader frame(plain);
    const uint32_t sourceAddress = frame.NetU32(FrameLayout::kSourceAddressOffset);
    const uint32_t destinationAddress = frame.NetU32(FrameLayout::kDestinationAddressOffset);
    const uint16_t sourcePort = frame.NetU16(FrameLayout::kSourcePortOffset);
    const uint16_t destinationPort = frame.NetU16(FrameLayout::kDestinationPortOffset);
    if (const std::optional<SocketEnd> own = server_.OwnEnd();
        own && ((own->address == sourceAddress && own->port == sourcePort) ||
                (own->address == destinationAddress && own->port == destinationPort))) {
        return;  // the program's own link to the server
    }

    if (settings_.portMode != kPortGiven && !server_.LinkUp()) {
        const uint16_t code = frame.Has(kCodeOffset, 2) ? frame.U16(kCodeOffset) : 0;
        if (!traced || frame.U16(kTokenOffset) != SessionMessage::kToken ||
            destinationAddress != localAddress_ || code != SessionMessage::kCommandConnect ||
            !ChecksumsSound(captured)) {
            return;
        }
        settings_.serverPort = destinationPort;
        const EventField fields[] = {NumberField("port", destinationPort)};
        log_.LogEvent(StringPrintf("Server port %d detected (%04x)", settings_.serverPort, code),
                      GuardEvent{EventKind::portDetected, nullptr, fields});
        if (!server_.PortDetected(destinationPort)) {
            return;  // the next connect message tries again
        }
        targets_.toServer(plain);
        return;
    }

    if (sourceAddress == localAddress_ && sourcePort == settings_.serverPort) {
        if (targets_.fromServer && ChecksumsSound(captured)) {
            targets_.fromServer(plain);
        }
        return;
    }
    if (destinationPort != settings_.serverPort || destinationAddress != localAddress_ ||
        !ChecksumsSound(captured)) {
        return;
    }
    try {
        targets_.toServer(plain);
    } catch (...) {
        console_.Write("Unhandled exception in analyzePacket_port_2300()\n");
    }
}

}  // namespace korvane
