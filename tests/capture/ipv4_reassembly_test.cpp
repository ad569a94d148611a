#include "capture/ipv4_reassembly.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "capture/internet_checksum.h"
#include "tools/frame_builder.h"

namespace korvane {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kIp = tools::kEthernetHeaderLength;
constexpr uint16_t kId = 0x1234;
constexpr uint16_t kOtherId = 0x2222;
constexpr uint32_t kClient = 0x7F000002;
constexpr uint32_t kOtherClient = 0x7F000003;
// The IPv4 payload of the datagrams of the cases: a TCP header and 1,180 bytes.
constexpr size_t kLength = 1200;

void PutNet16(Bytes& bytes, size_t at, size_t value) {
    bytes[at] = static_cast<uint8_t>(value >> 8);
    bytes[at + 1] = static_cast<uint8_t>(value);
}

void SetChecksum(Bytes& frame) {
    const size_t headerLength = (frame[kIp] & 0x0F) * 4u;
    PutNet16(frame, kIp + 10, 0);
    const uint32_t sum = OnesComplementSum(std::span(frame).subspan(kIp, headerLength));
    PutNet16(frame, kIp + 10, ~sum & 0xFFFF);
}

// A whole datagram (TCP carrying `length` - 20 bytes of a pattern that depends on the id) as
// BuildFrame makes it.
Bytes Whole(uint16_t id, uint32_t source = kClient, size_t length = kLength, Bytes options = {}) {
    tools::FrameSpec layout;
    layout.source = {source, 40000};
    layout.destination = {0x7F000001, 2300};
    layout.ipIdentification = id;
    layout.ipOptions = std::move(options);
    for (size_t i = 0; i + 20 < length; ++i) {
        layout.payload.push_back(static_cast<uint8_t>(i * 7 + id));
    }
    return tools::BuildFrame(layout);
}

size_t HeaderLength(const Bytes& frame) {
    return (frame[kIp] & 0x0F) * 4u;
}

// A fragment of `whole` carrying `payload` at byte `offset` of its IPv4 payload. Only the first
// fragment keeps the IPv4 options. `padding` bytes follow the total length.
Bytes Fragment(const Bytes& whole, size_t offset, std::span<const uint8_t> payload, bool more,
               size_t padding = 0, bool dontFragment = false) {
    const size_t headerLength = offset == 0 ? HeaderLength(whole) : 20;
    Bytes frame(whole.begin(), whole.begin() + static_cast<long>(kIp + headerLength));
    frame[kIp] = static_cast<uint8_t>(0x40 | (headerLength / 4));
    frame.insert(frame.end(), payload.begin(), payload.end());
    frame.insert(frame.end(), padding, 0xEE);
    PutNet16(frame, kIp + 2, headerLength + payload.size());
    PutNet16(frame, kIp + 6,
             (dontFragment ? 0x4000 : 0) | (more ? 0x2000 : 0) | static_cast<uint32_t>(offset / 8));
    SetChecksum(frame);
    return frame;
}

// Bytes [from, to) of the whole datagram's IPv4 payload.
Bytes Cut(const Bytes& whole, size_t from, size_t to, bool more, size_t padding = 0) {
    const size_t payload = kIp + HeaderLength(whole);
    return Fragment(whole, from, std::span(whole).subspan(payload + from, to - from), more,
                    padding);
}

// The datagram as the host hands it on: flags and offset cleared.
Bytes Reassembled(Bytes whole, bool dontFragment = false) {
    PutNet16(whole, kIp + 6, dontFragment ? 0x4000 : 0);
    SetChecksum(whole);
    return whole;
}

struct Piece {
    size_t from = 0;
    size_t to = 0;
    // More Fragments; by default set on all but the piece that ends the datagram.
    std::optional<bool> more = std::nullopt;
    uint16_t id = kId;
    uint32_t source = kClient;
    size_t padding = 0;
};

struct Counted {
    uint64_t completed = 0;
    uint64_t overlapping = 0;
    uint64_t tooLong = 0;
    uint64_t timedOut = 0;
    uint64_t overBound = 0;
    uint64_t malformed = 0;
    bool operator==(const Counted&) const = default;
};

Counted Of(const Ipv4Reassembly::Counts& counts) {
    return {counts.completed, counts.overlapping, counts.tooLong,
            counts.timedOut,  counts.overBound,   counts.malformed};
}

void PrintTo(const Counted& c, std::ostream* out) {
    *out << "completed " << c.completed << " overlapping " << c.overlapping << " tooLong "
         << c.tooLong << " timedOut " << c.timedOut << " overBound " << c.overBound << " malformed "
         << c.malformed;
}

struct Case {
    std::string name;
    std::vector<Piece> pieces;
    // For each piece, the id of the datagram it completes, if any.
    std::vector<std::optional<uint16_t>> completes;
    Counted counts;
    size_t waiting = 0;
};

TEST(Ipv4Reassembly, PutsDatagramsBackTogetherAsTheHostDoes) {
    const std::nullopt_t no = std::nullopt;
    const Case cases[] = {
        {"in order", {{0, 600}, {600, 1200}}, {no, kId}, {.completed = 1}},
        {"out of order", {{600, 1200}, {0, 600}}, {no, kId}, {.completed = 1}},
        {"three fragments", {{0, 400}, {400, 800}, {800, 1200}}, {no, no, kId}, {.completed = 1}},
        {"five fragments, shuffled",
         {{480, 720}, {0, 240}, {960, 1200}, {720, 960}, {240, 480}},
         {no, no, no, no, kId},
         {.completed = 1}},
        {"a fragment of one block", {{0, 1192}, {1192, 1200}}, {no, kId}, {.completed = 1}},
        {"a duplicated fragment is ignored",
         {{0, 400}, {0, 400}, {400, 800}, {800, 1200}},
         {no, no, no, kId},
         {.completed = 1}},
        {"a duplicated last fragment is ignored",
         {{800, 1200}, {0, 400}, {800, 1200}, {400, 800}},
         {no, no, no, kId},
         {.completed = 1}},
        {"overlapping drops the datagram and its later fragments",
         {{0, 408}, {400, 800}, {800, 1200}, {400, 800}},
         {no, no, no, no},
         {.overlapping = 1}},
        {"a fragment inside a held one drops the datagram",
         {{0, 800}, {200, 400}, {800, 1200}},
         {no, no, no},
         {.overlapping = 1}},
        {"a second end that differs drops the datagram",
         {{400, 800, false}, {800, 1200, false}, {0, 400}},
         {no, no, no},
         {.overlapping = 1}},
        {"a fragment past the end drops the datagram",
         {{400, 800, false}, {800, 1200, true}, {0, 400}},
         {no, no, no},
         {.overlapping = 1}},
        {"an end before held bytes drops the datagram",
         {{800, 1200, true}, {400, 800, false}, {0, 400}},
         {no, no, no},
         {.overlapping = 1}},
        {"two datagrams interleaved",
         {{0, 600}, {600, 1200, std::nullopt, kOtherId}, {600, 1200}, {0, 600, true, kOtherId}},
         {no, no, kId, kOtherId},
         {.completed = 2}},
        {"the same id from another source is another datagram",
         {{0, 600}, {600, 1200, std::nullopt, kId, kOtherClient}, {600, 1200}},
         {no, no, kId},
         {.completed = 1},
         1},
        {"padding after the total length is no payload",
         {{1192, 1200, std::nullopt, kId, kClient, 18}, {0, 1192, true, kId, kClient, 30}},
         {no, kId},
         {.completed = 1}},
        {"waiting for the first fragment", {{400, 800}, {800, 1200}}, {no, no}, {}, 1},
        {"waiting for the last fragment", {{0, 400}, {400, 800}}, {no, no}, {}, 1},
        {"waiting for a hole", {{0, 400}, {800, 1200}}, {no, no}, {}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Ipv4Reassembly reassembly;
        ASSERT_EQ(c.pieces.size(), c.completes.size());
        for (size_t i = 0; i < c.pieces.size(); ++i) {
            SCOPED_TRACE(i);
            const Piece& piece = c.pieces[i];
            const Bytes whole = Whole(piece.id, piece.source);
            const bool more = piece.more.value_or(piece.to < kLength);
            const auto result =
                reassembly.Take(Cut(whole, piece.from, piece.to, more, piece.padding), 0);
            ASSERT_EQ(result.has_value(), c.completes[i].has_value());
            if (result) {
                EXPECT_EQ(Bytes(result->begin(), result->end()),
                          Reassembled(Whole(*c.completes[i])));
            }
        }
        EXPECT_EQ(Of(reassembly.counts()), c.counts);
        EXPECT_EQ(reassembly.Waiting(), c.waiting);
        EXPECT_EQ(reassembly.HeldBytes() == 0, c.waiting == 0);
    }
}

TEST(Ipv4Reassembly, ReassembledHeaderIsTheFirstFragments) {
    const Bytes routerAlert = {0x94, 0x04, 0x00, 0x00};
    const Bytes whole = Whole(kId, kClient, kLength, routerAlert);
    const size_t payload = kIp + 24;
    for (const bool dontFragment : {false, true}) {
        SCOPED_TRACE(dontFragment);
        Ipv4Reassembly reassembly;
        Bytes first =
            Fragment(whole, 0, std::span(whole).subspan(payload, 800), true, 0, dontFragment);
        first[kIp + 8] = 17;  // a TTL the later fragment does not share
        SetChecksum(first);
        ASSERT_FALSE(reassembly.Take(Cut(whole, 800, 1200, false), 0));
        const auto result = reassembly.Take(first, 0);
        ASSERT_TRUE(result);
        const Bytes frame(result->begin(), result->end());
        ASSERT_EQ(frame.size(), whole.size());
        EXPECT_EQ(frame[kIp], 0x46);                                   // options kept
        EXPECT_EQ((frame[kIp + 2] << 8) | frame[kIp + 3], 24 + 1200);  // the whole length
        EXPECT_EQ((frame[kIp + 6] << 8) | frame[kIp + 7], dontFragment ? 0x4000 : 0);
        EXPECT_EQ(frame[kIp + 8], 17);
        EXPECT_EQ(Bytes(frame.begin() + kIp + 20, frame.begin() + kIp + 24), routerAlert);
        EXPECT_TRUE(tools::Ipv4ChecksumValid(frame));
        EXPECT_TRUE(tools::TcpChecksumValid(frame));
        Bytes expected = Reassembled(whole, dontFragment);
        expected[kIp + 8] = 17;
        SetChecksum(expected);
        EXPECT_EQ(frame, expected);
    }
}

TEST(Ipv4Reassembly, DatagramOfEveryLengthUpTo65535) {
    // The largest datagram there is, in two fragments, the first of them 65,000 bytes.
    for (const size_t length : {size_t{28}, size_t{65000}, size_t{65515}}) {
        SCOPED_TRACE(length);
        const Bytes whole = Whole(kId, kClient, length);
        const size_t cut = length == 65515 ? 65000 : length / 16 * 8;
        Ipv4Reassembly reassembly;
        ASSERT_FALSE(reassembly.Take(Cut(whole, 0, cut, true), 0));
        const auto result = reassembly.Take(Cut(whole, cut, length, false), 0);
        ASSERT_TRUE(result);
        EXPECT_EQ(Bytes(result->begin(), result->end()), Reassembled(whole));
        EXPECT_TRUE(tools::TcpChecksumValid(*result));
    }
}

TEST(Ipv4Reassembly, DatagramPast65535IsDropped) {
    const Bytes whole = Whole(kId);
    const Bytes block(8, 0xAB);
    struct Row {
        size_t offset;
        bool more;
        uint64_t tooLong;
    };
    const Row rows[] = {
        {65504, true, 0},   // ends at 65,512 + 20 header bytes
        {65512, false, 1},  // ends at 65,520 + 20
        {65528, true, 1},   // the largest offset there is
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.offset);
        Ipv4Reassembly reassembly;
        EXPECT_FALSE(reassembly.Take(Fragment(whole, row.offset, block, row.more), 0));
        EXPECT_EQ(reassembly.counts().tooLong, row.tooLong);
        // What is left of a dropped datagram is dropped too.
        EXPECT_FALSE(reassembly.Take(Cut(whole, 0, 600, true), 0));
        EXPECT_EQ(reassembly.Waiting(), 1 - row.tooLong);
        EXPECT_EQ(reassembly.HeldBytes() == 0, row.tooLong == 1);
    }

    // A first fragment with options takes a later end past the bound.
    const Bytes withOptions = Whole(kId, kClient, kLength, Bytes(40, 0x01));
    Ipv4Reassembly reassembly;
    EXPECT_FALSE(reassembly.Take(Fragment(whole, 65488, block, false), 0));  // 65,496 + 20
    EXPECT_EQ(reassembly.counts().tooLong, 0u);
    EXPECT_FALSE(reassembly.Take(Cut(withOptions, 0, 600, true), 0));  // 65,496 + 60
    EXPECT_EQ(reassembly.counts().tooLong, 1u);
    EXPECT_EQ(reassembly.Waiting(), 0u);
}

TEST(Ipv4Reassembly, MalformedFragmentsAreDropped) {
    const Bytes whole = Whole(kId);
    struct Row {
        std::string name;
        std::function<Bytes()> fragment;
    };
    const auto withTotalLength = [&](size_t totalLength) {
        Bytes frame = Cut(whole, 0, 600, true);
        PutNet16(frame, kIp + 2, totalLength);
        SetChecksum(frame);
        return frame;
    };
    const Row rows[] = {
        {"not a multiple of 8", [&] { return Cut(whole, 0, 604, true); }},
        {"empty, not the last", [&] { return Cut(whole, 600, 600, true); }},
        {"empty, the last", [&] { return Cut(whole, 1200, 1200, false); }},
        {"total length shorter than the header", [&] { return withTotalLength(16); }},
        {"total length past the frame", [&] { return withTotalLength(20 + 608); }},
        {"header length below 20",
         [&] {
             Bytes frame = Cut(whole, 0, 600, true);
             frame[kIp] = 0x44;
             return frame;
         }},
        {"cut in the header", [&] { return Bytes(whole.begin(), whole.begin() + kIp + 12); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Ipv4Reassembly reassembly;
        EXPECT_FALSE(reassembly.Take(row.fragment(), 0));
        EXPECT_EQ(reassembly.counts().malformed, 1u);
        EXPECT_EQ(reassembly.Waiting(), 0u);
        EXPECT_EQ(reassembly.HeldBytes(), 0u);
        // The datagram itself is not harmed.
        EXPECT_FALSE(reassembly.Take(Cut(whole, 0, 600, true), 0));
        EXPECT_TRUE(reassembly.Take(Cut(whole, 600, 1200, false), 0));
    }
}

TEST(Ipv4Reassembly, FrameThatIsNoFragmentIsHandedBack) {
    const Bytes whole = Whole(kId);
    Ipv4Reassembly reassembly;
    const auto result = reassembly.Take(whole, 0);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->data(), whole.data());
    EXPECT_EQ(result->size(), whole.size());
    EXPECT_EQ(Of(reassembly.counts()), Counted{});
}

TEST(Ipv4Reassembly, DatagramNotCompletedInTimeIsDropped) {
    const Bytes whole = Whole(kId);
    const Bytes other = Whole(kOtherId);
    Ipv4Reassembly::Limits limits;
    limits.timeoutMillis = 1000;
    Ipv4Reassembly reassembly(limits);
    ASSERT_FALSE(reassembly.Take(Cut(whole, 0, 600, true), 5000));
    // At the time itself it still waits.
    ASSERT_FALSE(reassembly.Take(Cut(other, 0, 600, true), 6000));
    EXPECT_EQ(reassembly.Waiting(), 2u);
    EXPECT_EQ(reassembly.counts().timedOut, 0u);
    // Past it, it is gone with its bytes, and its rest starts a datagram of its own.
    const size_t both = reassembly.HeldBytes();
    ASSERT_FALSE(reassembly.Take(Cut(whole, 600, 1200, false), 6001));
    EXPECT_EQ(reassembly.counts().timedOut, 1u);
    EXPECT_EQ(reassembly.Waiting(), 2u);
    EXPECT_LT(reassembly.HeldBytes(), both);
    ASSERT_TRUE(reassembly.Take(Cut(other, 600, 1200, false), 6500));
    ASSERT_FALSE(reassembly.Take(Cut(other, 0, 8, true), 7002));
    EXPECT_EQ(reassembly.counts().timedOut, 2u);
    EXPECT_EQ(reassembly.Waiting(), 1u);
}

TEST(Ipv4Reassembly, DroppedDatagramIsRememberedUntilItsTimeRunsOut) {
    const Bytes whole = Whole(kId);
    Ipv4Reassembly::Limits limits;
    limits.timeoutMillis = 1000;
    Ipv4Reassembly reassembly(limits);
    ASSERT_FALSE(reassembly.Take(Cut(whole, 0, 608, true), 0));
    ASSERT_FALSE(reassembly.Take(Cut(whole, 600, 1200, false), 0));
    EXPECT_EQ(reassembly.counts().overlapping, 1u);
    ASSERT_FALSE(reassembly.Take(Cut(whole, 0, 600, true), 1000));
    ASSERT_FALSE(reassembly.Take(Cut(whole, 600, 1200, false), 1000));
    EXPECT_EQ(reassembly.Waiting(), 0u);
    EXPECT_EQ(reassembly.HeldBytes(), 0u);
    // Then the same id is a new datagram; the one dropped does not count as timed out.
    ASSERT_FALSE(reassembly.Take(Cut(whole, 0, 600, true), 1001));
    ASSERT_TRUE(reassembly.Take(Cut(whole, 600, 1200, false), 1001));
    EXPECT_EQ(Of(reassembly.counts()), (Counted{.completed = 1, .overlapping = 1}));
}

TEST(Ipv4Reassembly, OldestDatagramGoesPastTheCount) {
    const Bytes a = Whole(1);
    const Bytes b = Whole(2);
    const Bytes c = Whole(3);
    Ipv4Reassembly::Limits limits;
    limits.maxDatagrams = 2;
    Ipv4Reassembly reassembly(limits);
    ASSERT_FALSE(reassembly.Take(Cut(a, 0, 600, true), 0));
    ASSERT_FALSE(reassembly.Take(Cut(b, 0, 600, true), 1));
    ASSERT_FALSE(reassembly.Take(Cut(c, 0, 600, true), 2));  // a goes
    EXPECT_EQ(reassembly.counts().overBound, 1u);
    EXPECT_EQ(reassembly.Waiting(), 2u);
    ASSERT_FALSE(reassembly.Take(Cut(a, 600, 1200, false), 3));  // a again, and b goes
    EXPECT_EQ(reassembly.counts().overBound, 2u);
    ASSERT_TRUE(reassembly.Take(Cut(c, 600, 1200, false), 4));
    EXPECT_EQ(reassembly.Waiting(), 1u);

    // Remembered dropped datagrams count against the bound too, and go without being counted.
    ASSERT_FALSE(reassembly.Take(Cut(b, 0, 608, true), 5));
    ASSERT_FALSE(reassembly.Take(Cut(b, 600, 1200, false), 5));  // overlapping: b remembered
    ASSERT_FALSE(reassembly.Take(Cut(c, 0, 600, true), 6));      // the oldest, a, goes
    ASSERT_FALSE(reassembly.Take(Cut(a, 0, 600, true), 7));      // the remembered b goes
    EXPECT_EQ(reassembly.counts().overBound, 3u);
    EXPECT_EQ(reassembly.Waiting(), 2u);
}

TEST(Ipv4Reassembly, OldestDatagramGoesPastTheBytes) {
    const Bytes a = Whole(1);
    const Bytes b = Whole(2);
    const Bytes c = Whole(3);
    // What a datagram's first half holds, and what its second half holds when it comes first.
    Ipv4Reassembly measure;
    ASSERT_FALSE(measure.Take(Cut(a, 0, 600, true), 0));
    const size_t firstHalf = measure.HeldBytes();
    ASSERT_FALSE(measure.Take(Cut(b, 600, 1200, false), 0));
    const size_t secondHalf = measure.HeldBytes() - firstHalf;
    ASSERT_LT(secondHalf, firstHalf);

    Ipv4Reassembly::Limits limits;
    limits.maxBytes = 2 * firstHalf + secondHalf;
    Ipv4Reassembly reassembly(limits);
    ASSERT_FALSE(reassembly.Take(Cut(a, 0, 600, true), 0));
    ASSERT_FALSE(reassembly.Take(Cut(b, 0, 600, true), 1));
    EXPECT_EQ(reassembly.counts().overBound, 0u);
    ASSERT_FALSE(reassembly.Take(Cut(c, 0, 600, true), 2));  // a goes
    EXPECT_EQ(reassembly.counts().overBound, 1u);
    EXPECT_EQ(reassembly.HeldBytes(), 2 * firstHalf);
    ASSERT_FALSE(reassembly.Take(Cut(a, 600, 1200, false), 3));  // what is left of a is dropped
    ASSERT_TRUE(reassembly.Take(Cut(b, 600, 1200, false), 4));
    ASSERT_TRUE(reassembly.Take(Cut(c, 600, 1200, false), 5));
    EXPECT_EQ(reassembly.counts().overBound, 1u);
    EXPECT_EQ(reassembly.Waiting(), 0u);
    EXPECT_EQ(reassembly.HeldBytes(), 0u);

    // A fragment that would not fit alone is dropped, nothing else.
    limits.maxBytes = firstHalf - 1;
    Ipv4Reassembly small(limits);
    ASSERT_FALSE(small.Take(Cut(b, 600, 1200, false), 0));
    ASSERT_FALSE(small.Take(Cut(a, 0, 600, true), 1));
    EXPECT_EQ(small.counts().overBound, 1u);
    EXPECT_EQ(small.Waiting(), 1u);
    EXPECT_EQ(small.HeldBytes(), secondHalf);
}

}  // namespace
}  // namespace korvane
