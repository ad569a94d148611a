#include "capture/ipv4_reassembly.h"

#include <algorithm>

#include "capture/byte_reader.h"
#include "capture/internet_checksum.h"
#include "capture/session_message.h"

namespace korvane {

namespace {
constexpr size_t kIp = FrameLayout::kIpv4Offset;
constexpr size_t kPlainIpv4Length = 20;
constexpr size_t kLargestDatagram = 65535;
constexpr uint16_t kDontFragment = 0x4000;
constexpr uint16_t kMoreFragments = 0x2000;
constexpr uint16_t kOffsetMask = 0x1FFF;

void PutNetU16(std::vector<uint8_t>& bytes, size_t at, uint16_t value) {
    bytes[at] = static_cast<uint8_t>(value >> 8);
    bytes[at + 1] = static_cast<uint8_t>(value);
}
}  // namespace

size_t Ipv4Reassembly::KeyHash::operator()(const Key& key) const {
    const uint64_t addresses = (static_cast<uint64_t>(key.source) << 32) | key.destination;
    const uint64_t rest = (static_cast<uint64_t>(key.identification) << 8) | key.protocol;
    return std::hash<uint64_t>{}(addresses ^ (rest * 0x9E3779B97F4A7C15u));
}

Ipv4Reassembly::Ipv4Reassembly() : Ipv4Reassembly(Limits{}) {}

Ipv4Reassembly::Ipv4Reassembly(Limits limits) : limits_(limits) {}

size_t Ipv4Reassembly::PieceCost(size_t length, size_t headers) {
    return length + headers + sizeof(Piece);
}

std::optional<std::span<const uint8_t>> Ipv4Reassembly::Take(std::span<const uint8_t> frame,
                                                             int64_t millis) {
    Expire(millis);

    Key key;
    size_t headerLength = 0;
    uint16_t flagsAndOffset = 0;
    std::span<const uint8_t> headers;
    std::span<const uint8_t> payload;
    try {
        const ByteReader reader(frame);
        const uint8_t versionAndLength = reader.U8(kIp);
        headerLength = (versionAndLength & 0x0F) * 4u;
        const size_t totalLength = reader.NetU16(kIp + 2);
        if ((versionAndLength >> 4) != 4 || headerLength < kPlainIpv4Length ||
            totalLength < headerLength) {
            ++counts_.malformed;
            return std::nullopt;
        }
        // The total length, not the frame, says where the datagram ends: Ethernet pads.
        headers = reader.Bytes(0, kIp + headerLength);
        payload = reader.Bytes(kIp + headerLength, totalLength - headerLength);
        key.identification = reader.NetU16(kIp + 4);
        flagsAndOffset = reader.NetU16(kIp + 6);
        key.protocol = reader.U8(kIp + 9);
        key.source = reader.NetU32(kIp + 12);
        key.destination = reader.NetU32(kIp + 16);
    } catch (const TruncatedData&) {
        ++counts_.malformed;
        return std::nullopt;
    }
    const bool more = (flagsAndOffset & kMoreFragments) != 0;
    const uint32_t offset = (flagsAndOffset & kOffsetMask) * 8u;
    if (!more && offset == 0) {
        return frame;
    }
    if (payload.empty() || (more && payload.size() % 8 != 0)) {
        ++counts_.malformed;
        return std::nullopt;
    }
    const bool first = offset == 0;
    const size_t pieceCost = PieceCost(payload.size(), first ? headers.size() : 0);
    if (pieceCost + sizeof(Assembly) > limits_.maxBytes) {
        ++counts_.overBound;
        return std::nullopt;
    }

    auto found = datagrams_.find(key);
    Datagram* datagram = found != datagrams_.end() ? &found->second : Open(key, millis);
    if (datagram == nullptr || datagram->assembly == nullptr) {
        return std::nullopt;
    }
    Assembly& assembly = *datagram->assembly;

    const uint32_t end = offset + static_cast<uint32_t>(payload.size());
    const size_t ipHeaderLength =
        first || assembly.headers.empty() ? headerLength : assembly.headers.size() - kIp;
    if (std::max(end, assembly.reach) + ipHeaderLength > kLargestDatagram) {
        ++counts_.tooLong;
        Drop(*datagram);
        return std::nullopt;
    }
    if (more ? assembly.lastCame && end > assembly.end
             : (assembly.lastCame && end != assembly.end) || end < assembly.reach) {
        ++counts_.overlapping;
        Drop(*datagram);
        return std::nullopt;
    }
    const size_t firstBlock = offset / 8;
    const size_t endBlock = (end + 7) / 8;
    for (size_t block = firstBlock; block < endBlock; ++block) {
        if (!assembly.covered[block]) {
            continue;
        }
        const bool copy =
            std::any_of(assembly.pieces.begin(), assembly.pieces.end(), [&](const Piece& piece) {
                return piece.offset == offset && piece.bytes.size() == payload.size();
            });
        if (!copy) {
            ++counts_.overlapping;
            Drop(*datagram);
        }
        return std::nullopt;
    }

    const size_t cost = pieceCost + (assembly.pieces.empty() ? sizeof(Assembly) : 0);
    if (!MakeRoom(cost, *datagram)) {
        return std::nullopt;
    }
    heldBytes_ += cost;
    assembly.held += cost;
    assembly.pieces.push_back(Piece{offset, std::vector<uint8_t>(payload.begin(), payload.end())});
    for (size_t block = firstBlock; block < endBlock; ++block) {
        assembly.covered.set(block);
    }
    assembly.payloadBytes += payload.size();
    assembly.reach = std::max(assembly.reach, end);
    if (!more) {
        assembly.lastCame = true;
        assembly.end = end;
    }
    if (first) {
        assembly.headers.assign(headers.begin(), headers.end());
    }

    // Nothing overlaps and nothing lies past the end: the bytes held are the whole payload
    // exactly when they add up to its length.
    if (assembly.headers.empty() || !assembly.lastCame || assembly.payloadBytes != assembly.end) {
        return std::nullopt;
    }
    const std::span<const uint8_t> whole = Assemble(assembly);
    Forget(*datagram);
    ++counts_.completed;
    return whole;
}

void Ipv4Reassembly::Expire(int64_t millis) {
    while (Datagram* oldest = ages_.Back()) {
        if (millis - oldest->since <= limits_.timeoutMillis) {
            return;
        }
        if (oldest->assembly != nullptr) {
            ++counts_.timedOut;
        }
        Forget(*oldest);
    }
}

Ipv4Reassembly::Datagram* Ipv4Reassembly::Open(const Key& key, int64_t millis) {
    if (limits_.maxDatagrams == 0) {
        ++counts_.overBound;
        return nullptr;
    }
    while (datagrams_.size() >= limits_.maxDatagrams) {
        Datagram& oldest = *ages_.Back();
        if (oldest.assembly != nullptr) {
            ++counts_.overBound;
        }
        Forget(oldest);
    }
    Datagram& datagram = datagrams_[key];
    datagram.key = key;
    datagram.since = millis;
    datagram.assembly = std::make_unique<Assembly>();
    ages_.MoveToFront(datagram);
    ++waiting_;
    return &datagram;
}

void Ipv4Reassembly::Drop(Datagram& datagram) {
    if (datagram.assembly == nullptr) {
        return;
    }
    heldBytes_ -= datagram.assembly->held;
    --waiting_;
    datagram.assembly.reset();
}

void Ipv4Reassembly::Forget(Datagram& datagram) {
    Drop(datagram);
    ages_.Remove(datagram);
    const Key key = datagram.key;
    datagrams_.erase(key);
}

bool Ipv4Reassembly::MakeRoom(size_t cost, const Datagram& keep) {
    Datagram* oldest = ages_.Back();
    while (heldBytes_ + cost > limits_.maxBytes && oldest != nullptr) {
        Datagram* newer = AgeQueue::Previous(*oldest);
        if (oldest->assembly != nullptr) {
            ++counts_.overBound;
            Drop(*oldest);
            if (oldest == &keep) {
                return false;
            }
        }
        oldest = newer;
    }
    return true;
}

std::span<const uint8_t> Ipv4Reassembly::Assemble(Assembly& assembly) {
    std::sort(assembly.pieces.begin(), assembly.pieces.end(),
              [](const Piece& a, const Piece& b) { return a.offset < b.offset; });
    whole_.assign(assembly.headers.begin(), assembly.headers.end());
    for (const Piece& piece : assembly.pieces) {
        whole_.insert(whole_.end(), piece.bytes.begin(), piece.bytes.end());
    }
    const size_t headerLength = assembly.headers.size() - kIp;
    PutNetU16(whole_, kIp + 2, static_cast<uint16_t>(headerLength + assembly.end));
    const uint16_t flags = static_cast<uint16_t>((whole_[kIp + 6] << 8) & kDontFragment);
    PutNetU16(whole_, kIp + 6, flags);
    PutNetU16(whole_, kIp + 10, 0);
    const uint32_t sum = OnesComplementSum(std::span(whole_).subspan(kIp, headerLength));
    PutNetU16(whole_, kIp + 10, static_cast<uint16_t>(~sum & 0xFFFF));
    return whole_;
}

}  // namespace korvane
