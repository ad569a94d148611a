#include "tools/frame_builder.h"

#include <algorithm>
#include <charconv>
#include <stdexcept>
#include <string>

#include "capture/byte_reader.h"

namespace korvane::tools {

namespace {

constexpr size_t kMaxOptionsLength = 40;
constexpr uint8_t kProtocolTcp = 6;

std::vector<uint8_t> PaddedOptions(const std::vector<uint8_t>& options, const char* what) {
    if (options.size() > kMaxOptionsLength) {
        throw std::invalid_argument(std::string(what) + " options longer than 40 bytes");
    }
    std::vector<uint8_t> padded = options;
    padded.resize((options.size() + 3) & ~size_t{3}, 0);
    return padded;
}

void PutNet16(std::vector<uint8_t>& out, size_t offset, uint32_t value) {
    out[offset] = static_cast<uint8_t>(value >> 8);
    out[offset + 1] = static_cast<uint8_t>(value);
}

void PutNet32(std::vector<uint8_t>& out, size_t offset, uint32_t value) {
    PutNet16(out, offset, value >> 16);
    PutNet16(out, offset + 2, value & 0xFFFF);
}

std::array<uint8_t, 6> MacFor(const std::array<uint8_t, 6>& given, uint32_t address) {
    if (given != std::array<uint8_t, 6>{}) {
        return given;
    }
    return {0x02,
            0x00,
            static_cast<uint8_t>(address >> 24),
            static_cast<uint8_t>(address >> 16),
            static_cast<uint8_t>(address >> 8),
            static_cast<uint8_t>(address)};
}

uint16_t Finish(uint32_t sum) {
    return static_cast<uint16_t>(~sum & 0xFFFF);
}

// The folded sum of the TCP pseudo header of a segment of `tcpLength` bytes.
uint32_t TcpPseudoHeaderSum(uint32_t source, uint32_t destination, size_t tcpLength) {
    return PseudoHeaderSum(source, destination, kProtocolTcp, tcpLength);
}

}  // namespace

std::vector<uint8_t> BuildFrame(const FrameSpec& layout) {
    std::vector<uint8_t> ipOptions = PaddedOptions(layout.ipOptions, "IPv4");
    std::vector<uint8_t> tcpOptions = PaddedOptions(layout.tcpOptions, "TCP");
    const size_t ipHeaderLength = 20 + ipOptions.size();
    const size_t tcpHeaderLength = 20 + tcpOptions.size();
    const size_t tcpLength = tcpHeaderLength + layout.payload.size();
    const size_t totalLength = ipHeaderLength + tcpLength;
    if (totalLength > 0xFFFF) {
        throw std::invalid_argument("payload does not fit an IPv4 packet");
    }

    std::vector<uint8_t> frame(kEthernetHeaderLength + totalLength, 0);
    auto destinationMac = MacFor(layout.destinationMac, layout.destination.address);
    auto sourceMac = MacFor(layout.sourceMac, layout.source.address);
    std::copy(destinationMac.begin(), destinationMac.end(), frame.begin());
    std::copy(sourceMac.begin(), sourceMac.end(), frame.begin() + 6);
    PutNet16(frame, 12, 0x0800);

    const size_t ip = kEthernetHeaderLength;
    frame[ip] = static_cast<uint8_t>(0x40 | (ipHeaderLength / 4));
    PutNet16(frame, ip + 2, static_cast<uint32_t>(totalLength));
    PutNet16(frame, ip + 4, layout.ipIdentification);
    PutNet16(frame, ip + 6, 0x4000);  // don't fragment
    frame[ip + 8] = layout.ttl;
    frame[ip + 9] = kProtocolTcp;
    PutNet32(frame, ip + 12, layout.source.address);
    PutNet32(frame, ip + 16, layout.destination.address);
    std::copy(ipOptions.begin(), ipOptions.end(), frame.begin() + static_cast<long>(ip + 20));
    PutNet16(frame, ip + 10,
             Finish(OnesComplementSum(std::span(frame).subspan(ip, ipHeaderLength))));

    const size_t tcp = ip + ipHeaderLength;
    PutNet16(frame, tcp, layout.source.port);
    PutNet16(frame, tcp + 2, layout.destination.port);
    PutNet32(frame, tcp + 4, layout.sequence);
    PutNet32(frame, tcp + 8, layout.acknowledgement);
    frame[tcp + 12] = static_cast<uint8_t>((tcpHeaderLength / 4) << 4);
    frame[tcp + 13] = layout.tcpFlags;
    PutNet16(frame, tcp + 14, layout.window);
    std::copy(tcpOptions.begin(), tcpOptions.end(), frame.begin() + static_cast<long>(tcp + 20));
    std::copy(layout.payload.begin(), layout.payload.end(),
              frame.begin() + static_cast<long>(tcp + tcpHeaderLength));
    const uint32_t pseudo =
        TcpPseudoHeaderSum(layout.source.address, layout.destination.address, tcpLength);
    uint32_t checksum = Finish(OnesComplementSum(std::span(frame).subspan(tcp), pseudo));
    if (layout.tcpChecksum == TcpChecksum::pseudoHeader) {
        checksum = pseudo;
    } else if (layout.tcpChecksum == TcpChecksum::wrong) {
        // The true checksum is never 0xFFFF (the pseudo header alone sums to more than zero),
        // so one more is never another way of writing it.
        checksum = (checksum + 1) & 0xFFFF;
    }
    PutNet16(frame, tcp + 16, checksum);
    return frame;
}

std::vector<uint8_t> TimestampOption(uint32_t value, uint32_t echoReply) {
    std::vector<uint8_t> option = {1, 1, 8, 10, 0, 0, 0, 0, 0, 0, 0, 0};
    PutNet32(option, 4, value);
    PutNet32(option, 8, echoReply);
    return option;
}

bool Ipv4ChecksumValid(std::span<const uint8_t> frame) {
    ByteReader reader(frame);
    size_t headerLength = static_cast<size_t>(reader.U8(kEthernetHeaderLength) & 0x0F) * 4;
    auto header = reader.Bytes(kEthernetHeaderLength, headerLength);
    return headerLength >= 20 && OnesComplementSum(header) == 0xFFFF;
}

bool TcpChecksumValid(std::span<const uint8_t> frame) {
    ByteReader reader(frame);
    const size_t ip = kEthernetHeaderLength;
    size_t headerLength = static_cast<size_t>(reader.U8(ip) & 0x0F) * 4;
    size_t totalLength = reader.NetU16(ip + 2);
    if (totalLength < headerLength) {
        return false;
    }
    auto segment = reader.Bytes(ip + headerLength, totalLength - headerLength);
    uint32_t pseudo =
        TcpPseudoHeaderSum(reader.NetU32(ip + 12), reader.NetU32(ip + 16), segment.size());
    return OnesComplementSum(segment, pseudo) == 0xFFFF;
}

std::vector<std::vector<uint8_t>> FragmentFrame(std::span<const uint8_t> frame, size_t firstBytes,
                                                bool overlap) {
    ByteReader reader(frame);
    const size_t ip = kEthernetHeaderLength;
    const size_t headerLength = static_cast<size_t>(reader.U8(ip) & 0x0F) * 4;
    const size_t totalLength = reader.NetU16(ip + 2);
    if (headerLength < 20 || totalLength < headerLength || ip + totalLength > frame.size()) {
        throw std::invalid_argument("not a whole IPv4 packet");
    }
    if ((reader.NetU16(ip + 6) & 0x3FFF) != 0) {
        throw std::invalid_argument("the packet is a fragment already");
    }
    const size_t payloadLength = totalLength - headerLength;
    const size_t least = overlap ? 16 : 8;
    if (firstBytes < least || firstBytes % 8 != 0 || firstBytes >= payloadLength) {
        throw std::invalid_argument("the first fragment needs a multiple of 8 bytes from " +
                                    std::to_string(least) + ", fewer than the " +
                                    std::to_string(payloadLength) + " of the IP payload");
    }
    const auto payload = frame.subspan(ip + headerLength, payloadLength);
    auto piece = [&](size_t from, size_t to, bool more) {
        std::vector<uint8_t> out(frame.begin(),
                                 frame.begin() + static_cast<long>(ip + headerLength));
        out.insert(out.end(), payload.begin() + static_cast<long>(from),
                   payload.begin() + static_cast<long>(to));
        PutNet16(out, ip + 2, static_cast<uint32_t>(headerLength + to - from));
        PutNet16(out, ip + 6, (more ? 0x2000u : 0u) | static_cast<uint32_t>(from / 8));
        PutNet16(out, ip + 10, 0);
        PutNet16(out, ip + 10, Finish(OnesComplementSum(std::span(out).subspan(ip, headerLength))));
        return out;
    };
    std::vector<std::vector<uint8_t>> pieces;
    pieces.push_back(piece(0, firstBytes, true));
    pieces.push_back(piece(overlap ? firstBytes - 8 : firstBytes, payloadLength, false));
    return pieces;
}

std::optional<uint32_t> ParseIpv4(std::string_view text) {
    uint32_t address = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (text.empty() || text.front() != '.') {
                return std::nullopt;
            }
            text.remove_prefix(1);
        }
        size_t digits = 0;
        while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
            ++digits;
        }
        if (digits == 0 || digits > 3) {
            return std::nullopt;
        }
        unsigned value = 0;
        std::from_chars(text.data(), text.data() + digits, value);
        if (value > 255) {
            return std::nullopt;
        }
        address = (address << 8) | value;
        text.remove_prefix(digits);
    }
    if (!text.empty()) {
        return std::nullopt;
    }
    return address;
}

std::optional<Endpoint> ParseEndpoint(std::string_view text) {
    size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) {
        return std::nullopt;
    }
    auto address = ParseIpv4(text.substr(0, colon));
    std::string_view portText = text.substr(colon + 1);
    if (!address || portText.empty() || portText.size() > 5) {
        return std::nullopt;
    }
    unsigned port = 0;
    auto [end, error] = std::from_chars(portText.data(), portText.data() + portText.size(), port);
    if (error != std::errc() || end != portText.data() + portText.size() || port > 0xFFFF) {
        return std::nullopt;
    }
    return Endpoint{*address, static_cast<uint16_t>(port)};
}

std::vector<uint8_t> FlowNumbering::Build(FrameSpec layout) {
    const auto [place, made] =
        next_.try_emplace({layout.source, layout.destination}, kFirstSequence);
    layout.sequence = place->second;
    place->second +=
        static_cast<uint32_t>(layout.payload.size()) + ((layout.tcpFlags & kTcpSyn) != 0 ? 1u : 0u);
    return BuildFrame(layout);
}

uint32_t FlowNumbering::Next(const Endpoint& source, const Endpoint& destination) const {
    const auto found = next_.find({source, destination});
    return found == next_.end() ? kFirstSequence : found->second;
}

}  // namespace korvane::tools
