#include "capture/frame_checksums.h"

#include "capture/byte_reader.h"
#include "capture/internet_checksum.h"
#include "capture/session_message.h"

namespace korvane {

namespace {
constexpr size_t kIp = FrameLayout::kIpv4Offset;
constexpr uint8_t kProtocolTcp = 6;
constexpr uint32_t kFolded = 0xFFFF;  // the sum of a header whose checksum is right

bool LocalSender(const ByteReader& frame, uint32_t localAddress) {
    const uint32_t source = frame.NetU32(FrameLayout::kSourceAddressOffset);
    return (source >> 24) == 127 || source == localAddress;
}

size_t HeaderLength(const ByteReader& frame) {
    return (frame.U8(kIp) & 0x0Fu) * 4u;
}
}  // namespace

bool Ipv4HeaderChecksumHolds(std::span<const uint8_t> bytes, uint32_t localAddress) {
    const ByteReader frame(bytes);
    const size_t headerLength = HeaderLength(frame);
    if (OnesComplementSum(frame.Bytes(kIp, headerLength)) == kFolded) {
        return true;
    }
    return frame.NetU16(kIp + 10) == 0 && LocalSender(frame, localAddress);
}

bool ChecksumsHold(std::span<const uint8_t> bytes, uint32_t localAddress) {
    if (!Ipv4HeaderChecksumHolds(bytes, localAddress)) {
        return false;
    }
    const ByteReader frame(bytes);
    if (frame.U8(kIp + 9) != kProtocolTcp) {
        return true;
    }
    const size_t headerLength = HeaderLength(frame);
    const size_t totalLength = frame.NetU16(kIp + 2);
    if (totalLength < headerLength) {
        return false;
    }
    const size_t tcpLength = totalLength - headerLength;
    if (!frame.Has(kIp + headerLength, tcpLength)) {
        return true;  // cut short by the capture: the header's checksum is all there is
    }
    const uint32_t pseudo =
        PseudoHeaderSum(frame.NetU32(kIp + 12), frame.NetU32(kIp + 16), kProtocolTcp, tcpLength);
    const std::span<const uint8_t> segment = frame.Bytes(kIp + headerLength, tcpLength);
    if (OnesComplementSum(segment, pseudo) == kFolded) {
        return true;
    }
    // Offload leaves the pseudo header's sum, not inverted, in the checksum field.
    return tcpLength >= 18 && frame.NetU16(kIp + headerLength + 16) == pseudo &&
           LocalSender(frame, localAddress);
}

}  // namespace korvane
