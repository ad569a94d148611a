#include "capture/frame_headers.h"

#include "capture/byte_reader.h"
#include "capture/session_message.h"

namespace korvane {

namespace {
constexpr uint16_t kEtherTypeIpv4 = 0x0800;
constexpr uint8_t kProtocolTcp = 6;
constexpr size_t kPlainIpv4Length = 20;
constexpr size_t kPlainTcpLength = 20;
constexpr uint16_t kFragmentOffsetMask = 0x1FFF;
constexpr uint16_t kMoreFragments = 0x2000;

void PutNetU16(std::vector<uint8_t>& bytes, size_t at, uint16_t value) {
    bytes[at] = static_cast<uint8_t>(value >> 8);
    bytes[at + 1] = static_cast<uint8_t>(value);
}
}  // namespace

PlainFrame PlainTcpFrame(std::span<const uint8_t> frame, std::vector<uint8_t>& scratch) {
    const PlainFrame other{frame, false};
    const ByteReader reader(frame);
    constexpr size_t ip = FrameLayout::kIpv4Offset;
    if (!reader.Has(ip, kPlainIpv4Length) ||
        reader.NetU16(FrameLayout::kEtherTypeOffset) != kEtherTypeIpv4) {
        return other;
    }
    const uint8_t versionAndLength = reader.U8(ip);
    const size_t ipLength = (versionAndLength & 0x0F) * 4u;
    if ((versionAndLength >> 4) != 4 || ipLength < kPlainIpv4Length ||
        reader.U8(ip + 9) != kProtocolTcp) {
        return other;
    }
    const uint16_t fragmentField = reader.NetU16(ip + 6);
    const bool fragment = (fragmentField & (kMoreFragments | kFragmentOffsetMask)) != 0;
    if ((fragmentField & kFragmentOffsetMask) != 0) {
        return {frame, false, true};
    }
    const size_t tcp = ip + ipLength;
    if (!reader.Has(tcp, kPlainTcpLength)) {
        return {frame, false, fragment};  // a first fragment may end inside the TCP header
    }
    const uint8_t dataOffsetByte = reader.U8(tcp + 12);
    const size_t tcpLength = (dataOffsetByte >> 4) * 4u;
    if (tcpLength < kPlainTcpLength || !reader.Has(tcp, tcpLength)) {
        return {frame, false, fragment};
    }
    if (ipLength == kPlainIpv4Length && tcpLength == kPlainTcpLength) {
        return {frame, true, fragment};
    }

    const size_t optionBytes = (ipLength - kPlainIpv4Length) + (tcpLength - kPlainTcpLength);
    std::span<const uint8_t> ipHeader = reader.Bytes(0, ip + kPlainIpv4Length);
    std::span<const uint8_t> tcpHeader = reader.Bytes(tcp, kPlainTcpLength);
    std::span<const uint8_t> payload = reader.Rest(tcp + tcpLength);
    scratch.assign(ipHeader.begin(), ipHeader.end());
    scratch.insert(scratch.end(), tcpHeader.begin(), tcpHeader.end());
    scratch.insert(scratch.end(), payload.begin(), payload.end());

    scratch[ip] = static_cast<uint8_t>(0x40 | (kPlainIpv4Length / 4));
    const uint16_t totalLength = reader.NetU16(ip + 2);
    if (totalLength >= optionBytes) {
        PutNetU16(scratch, ip + 2, static_cast<uint16_t>(totalLength - optionBytes));
    }
    scratch[FrameLayout::kTcpOffset + 12] =
        static_cast<uint8_t>(((kPlainTcpLength / 4) << 4) | (dataOffsetByte & 0x0F));
    return {scratch, true, fragment};
}

}  // namespace korvane
