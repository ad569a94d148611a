#include "tools/frame_builder.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "capture/byte_reader.h"
#include "capture/internet_checksum.h"

namespace korvane::tools {
namespace {

// An independent reference for the internet checksum: 32-bit sum of big-endian words, carries
// folded at the end, inverted.
uint16_t ReferenceChecksum(std::span<const uint8_t> bytes, uint32_t sum = 0) {
    for (size_t i = 0; i < bytes.size(); i += 2) {
        uint32_t word = static_cast<uint32_t>(bytes[i]) << 8;
        if (i + 1 < bytes.size()) {
            word |= bytes[i + 1];
        }
        sum += word;
    }
    while ((sum >> 16) != 0) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<uint16_t>(~sum);
}

// The sum the guard and the builder share, eight bytes at a time, against the reference: every
// length from 0 to 40 (odd ones end in a padded byte), bytes that carry, a partial sum first.
TEST(FrameBuilder, SumAgreesWithTheReferenceAtEveryLength) {
    std::vector<uint8_t> bytes;
    for (size_t length = 0; length <= 40; ++length) {
        for (uint32_t initial : {0u, 0x1FFFEu}) {
            const uint32_t sum = korvane::OnesComplementSum(bytes, initial);
            EXPECT_EQ(static_cast<uint16_t>(~sum), ReferenceChecksum(bytes, initial))
                << length << " " << initial;
        }
        bytes.push_back(static_cast<uint8_t>(0xF7 - length * 13));
    }
}

// The TCP pseudo header of a frame: addresses, zero, protocol 6, TCP length.
std::vector<uint8_t> ReferencePseudoHeader(const std::vector<uint8_t>& frame) {
    ByteReader reader(frame);
    size_t ipLength = (reader.U8(14) & 0x0F) * 4u;
    size_t tcpLength = reader.NetU16(16) - ipLength;
    std::vector<uint8_t> pseudo(12, 0);
    std::copy(frame.begin() + 26, frame.begin() + 34, pseudo.begin());  // addresses
    pseudo[9] = 6;
    pseudo[10] = static_cast<uint8_t>(tcpLength >> 8);
    pseudo[11] = static_cast<uint8_t>(tcpLength);
    return pseudo;
}

// The TCP checksum of a frame computed from scratch, with the checksum field taken as zero.
uint16_t ReferenceTcpChecksum(std::vector<uint8_t> frame) {
    ByteReader reader(frame);
    size_t ipLength = (reader.U8(14) & 0x0F) * 4u;
    size_t tcp = 14 + ipLength;
    frame[tcp + 16] = 0;
    frame[tcp + 17] = 0;
    std::vector<uint8_t> pseudo = ReferencePseudoHeader(frame);
    pseudo.insert(pseudo.end(), frame.begin() + static_cast<long>(tcp), frame.end());
    return ReferenceChecksum(pseudo);
}

FrameSpec SampleSpec() {
    FrameSpec layout;
    layout.source = {0x7F000002, 49152};           // 127.0.0.2
    layout.destination = {0x7F000001, 2300};       // 127.0.0.1
    layout.payload = {0xB0, 0xFA, 1, 2, 3, 4, 5};  // odd length on purpose
    layout.sequence = 0x01020304;
    layout.acknowledgement = 0xA0B0C0D0;
    layout.ipIdentification = 0x1234;
    return layout;
}

TEST(FrameBuilder, PlainFrameHasPayloadAtFiftyFour) {
    FrameSpec layout = SampleSpec();
    auto frame = BuildFrame(layout);
    ASSERT_EQ(frame.size(), 54u + layout.payload.size());
    ByteReader reader(frame);
    EXPECT_EQ(reader.NetU16(12), 0x0800);          // IPv4
    EXPECT_EQ(reader.U8(14), 0x45);                // version 4, 20-byte header
    EXPECT_EQ(reader.NetU16(16), 20u + 20u + 7u);  // total length
    EXPECT_EQ(reader.U8(23), 6);                   // TCP
    EXPECT_EQ(reader.NetU32(26), 0x7F000002u);
    EXPECT_EQ(reader.NetU32(30), 0x7F000001u);
    EXPECT_EQ(reader.NetU16(34), 49152);
    EXPECT_EQ(reader.NetU16(36), 2300);
    EXPECT_EQ(reader.NetU32(38), 0x01020304u);
    EXPECT_EQ(reader.NetU32(42), 0xA0B0C0D0u);
    EXPECT_EQ(reader.U8(46) >> 4, 5);             // data offset: 20 bytes
    EXPECT_EQ(reader.U8(47), kTcpPsh | kTcpAck);  // default flags 0x18
    EXPECT_EQ(reader.U8(47), 0x18);
    auto payload = reader.Rest(54);
    EXPECT_EQ(std::vector<uint8_t>(payload.begin(), payload.end()), layout.payload);
    // The token word a session message has at payload offset 2 lands at frame offset 56.
    EXPECT_EQ(reader.U16(54), 0xFAB0);
}

TEST(FrameBuilder, ChecksumsMatchAnIndependentComputation) {
    auto frame = BuildFrame(SampleSpec());
    std::vector<uint8_t> ipHeader(frame.begin() + 14, frame.begin() + 34);
    uint16_t stored = static_cast<uint16_t>((ipHeader[10] << 8) | ipHeader[11]);
    ipHeader[10] = ipHeader[11] = 0;
    EXPECT_EQ(stored, ReferenceChecksum(ipHeader));
    EXPECT_NE(stored, 0);
    uint16_t tcpStored = static_cast<uint16_t>((frame[50] << 8) | frame[51]);
    EXPECT_EQ(tcpStored, ReferenceTcpChecksum(frame));
    EXPECT_TRUE(Ipv4ChecksumValid(frame));
    EXPECT_TRUE(TcpChecksumValid(frame));
}

TEST(FrameBuilder, ChecksumValidatorsNoticeAChangedByte) {
    auto frame = BuildFrame(SampleSpec());
    auto broken = frame;
    broken[54 + 3] ^= 0x40;  // payload
    EXPECT_TRUE(Ipv4ChecksumValid(broken));
    EXPECT_FALSE(TcpChecksumValid(broken));
    broken = frame;
    broken[22] ^= 0x01;  // TTL
    EXPECT_FALSE(Ipv4ChecksumValid(broken));
}

TEST(FrameBuilder, KnownHeaderSumsToAllOnes) {
    // A textbook IPv4 header with its checksum b861 in place.
    const std::vector<uint8_t> header = {0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40,
                                         0x00, 0x40, 0x11, 0xb8, 0x61, 0xc0, 0xa8,
                                         0x00, 0x01, 0xc0, 0xa8, 0x00, 0xc7};
    EXPECT_EQ(OnesComplementSum(header), 0xFFFFu);
}

struct ChecksumCase {
    std::string name;
    std::vector<uint8_t> payload;
    bool tsopt = false;
    TcpChecksum form = TcpChecksum::correct;
};

void PrintTo(const ChecksumCase& test, std::ostream* out) {
    *out << test.name;
}

class ChecksumForm : public ::testing::TestWithParam<ChecksumCase> {};

TEST_P(ChecksumForm, FieldHoldsWhatTheFormAsks) {
    FrameSpec layout = SampleSpec();
    layout.payload = GetParam().payload;
    if (GetParam().tsopt) {
        layout.tcpOptions = TimestampOption(0x11223344, 0);
    }
    layout.tcpChecksum = GetParam().form;
    const auto frame = BuildFrame(layout);
    const size_t field = 14 + 20 + 16;
    const uint16_t stored = static_cast<uint16_t>((frame[field] << 8) | frame[field + 1]);
    const uint16_t correct = ReferenceTcpChecksum(frame);
    // The pseudo header's sum, folded and not inverted.
    const auto pseudoSum = static_cast<uint16_t>(~ReferenceChecksum(ReferencePseudoHeader(frame)));
    switch (GetParam().form) {
        case TcpChecksum::correct:
            EXPECT_EQ(stored, correct);
            break;
        case TcpChecksum::pseudoHeader:
            EXPECT_EQ(stored, pseudoSum);
            break;
        case TcpChecksum::wrong:
            EXPECT_EQ(stored, static_cast<uint16_t>(correct + 1));
            break;
    }
    EXPECT_EQ(TcpChecksumValid(frame), GetParam().form == TcpChecksum::correct);
    EXPECT_TRUE(Ipv4ChecksumValid(frame));
    // Everything but the checksum field is as with the true checksum.
    layout.tcpChecksum = TcpChecksum::correct;
    auto expected = BuildFrame(layout);
    expected[field] = frame[field];
    expected[field + 1] = frame[field + 1];
    EXPECT_EQ(frame, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ChecksumForm,
    ::testing::Values(
        ChecksumCase{"Correct", {0xB0, 0xFA, 1, 2, 3}},
        ChecksumCase{"PseudoHeader", {0xB0, 0xFA, 1, 2, 3}, false, TcpChecksum::pseudoHeader},
        ChecksumCase{"PseudoHeaderWithOptions", std::vector<uint8_t>(100, 0xEE), true,
                     TcpChecksum::pseudoHeader},
        ChecksumCase{"PseudoHeaderWithoutPayload", {}, false, TcpChecksum::pseudoHeader},
        ChecksumCase{"Wrong", {0xB0, 0xFA, 1, 2, 3}, false, TcpChecksum::wrong},
        ChecksumCase{"WrongWithOptions", std::vector<uint8_t>(1000, 0x5A), true,
                     TcpChecksum::wrong},
        ChecksumCase{"WrongWithoutPayload", {}, false, TcpChecksum::wrong}),
    [](const auto& param) { return param.param.name; });

struct FragmentCase {
    std::string name;
    size_t payloadBytes = 0;
    bool tsopt = false;
    size_t firstBytes = 0;
    bool overlap = false;
};

void PrintTo(const FragmentCase& test, std::ostream* out) {
    *out << test.name;
}

class Fragmenting : public ::testing::TestWithParam<FragmentCase> {};

TEST_P(Fragmenting, TwoFragmentsCarryThePacketsBytes) {
    FrameSpec layout = SampleSpec();
    layout.payload.resize(GetParam().payloadBytes);
    for (size_t i = 0; i < layout.payload.size(); ++i) {
        layout.payload[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    if (GetParam().tsopt) {
        layout.tcpOptions = TimestampOption(1, 2);
    }
    const auto frame = BuildFrame(layout);
    const std::vector<uint8_t> ipPayload(frame.begin() + 34, frame.end());
    const size_t first = GetParam().firstBytes;
    const size_t secondStart = GetParam().overlap ? first - 8 : first;
    const auto pieces = FragmentFrame(frame, first, GetParam().overlap);
    ASSERT_EQ(pieces.size(), 2u);
    const std::vector<size_t> starts = {0, secondStart};
    const std::vector<size_t> ends = {first, ipPayload.size()};
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        const auto& piece = pieces[i];
        ByteReader reader(piece);
        ASSERT_EQ(piece.size(), 34 + ends[i] - starts[i]);
        EXPECT_EQ(std::vector<uint8_t>(piece.begin(), piece.begin() + 14),
                  std::vector<uint8_t>(frame.begin(), frame.begin() + 14));
        EXPECT_EQ(reader.NetU16(16), 20 + ends[i] - starts[i]);  // total length
        EXPECT_EQ(reader.NetU16(18), 0x1234);                    // identification kept
        EXPECT_EQ(reader.NetU16(20), (i == 0 ? 0x2000 : 0) | (starts[i] / 8));  // MF, offset
        // TTL, protocol and addresses as in the packet.
        EXPECT_EQ(std::vector<uint8_t>(piece.begin() + 22, piece.begin() + 24),
                  std::vector<uint8_t>(frame.begin() + 22, frame.begin() + 24));
        EXPECT_EQ(std::vector<uint8_t>(piece.begin() + 26, piece.begin() + 34),
                  std::vector<uint8_t>(frame.begin() + 26, frame.begin() + 34));
        std::vector<uint8_t> header(piece.begin() + 14, piece.begin() + 34);
        const uint16_t stored = reader.NetU16(24);
        header[10] = header[11] = 0;
        EXPECT_EQ(stored, ReferenceChecksum(header));
        EXPECT_EQ(std::vector<uint8_t>(piece.begin() + 34, piece.end()),
                  std::vector<uint8_t>(ipPayload.begin() + static_cast<long>(starts[i]),
                                       ipPayload.begin() + static_cast<long>(ends[i])));
    }
    // Put together by their offsets, they are the packet's IP payload.
    std::vector<uint8_t> joined(pieces[0].begin() + 34, pieces[0].end());
    joined.resize(secondStart);
    joined.insert(joined.end(), pieces[1].begin() + 34, pieces[1].end());
    EXPECT_EQ(joined, ipPayload);
}

INSTANTIATE_TEST_SUITE_P(Forms, Fragmenting,
                         ::testing::Values(FragmentCase{"TcpHeaderCut", 7, false, 8},
                                           FragmentCase{"PayloadCut", 100, false, 64},
                                           FragmentCase{"LastByteAlone", 5, false, 24},
                                           FragmentCase{"WithOptions", 50, true, 40},
                                           FragmentCase{"Overlapping", 100, false, 64, true},
                                           FragmentCase{"OverlappingFromTheStart", 7, true, 16,
                                                        true}),
                         [](const auto& param) { return param.param.name; });

TEST(FrameBuilder, FragmentingRefusesCutsThatAreNoFragments) {
    const auto frame = BuildFrame(SampleSpec());  // 27 bytes of IP payload
    EXPECT_NO_THROW(FragmentFrame(frame, 24));
    for (size_t first : {size_t{0}, size_t{12}, size_t{27}, size_t{32}}) {
        EXPECT_THROW(FragmentFrame(frame, first), std::invalid_argument) << first;
    }
    EXPECT_THROW(FragmentFrame(frame, 8, true), std::invalid_argument);
    EXPECT_NO_THROW(FragmentFrame(frame, 16, true));
    EXPECT_THROW(FragmentFrame(FragmentFrame(frame, 8)[1], 8), std::invalid_argument);
    EXPECT_THROW(FragmentFrame(std::span(frame).first(40), 8), std::invalid_argument);
}

TEST(FrameBuilder, TimestampOptionMakesDataOffsetEight) {
    FrameSpec layout = SampleSpec();
    layout.tcpOptions = TimestampOption(0x11223344, 0x55667788);
    auto frame = BuildFrame(layout);
    ASSERT_EQ(frame.size(), 66u + layout.payload.size());
    ByteReader reader(frame);
    EXPECT_EQ(reader.U8(46) >> 4, 8);
    const std::vector<uint8_t> option = {1,    1,    8,    10,   0x11, 0x22,
                                         0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    auto got = reader.Bytes(54, 12);
    EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.end()), option);
    EXPECT_EQ(reader.U16(66), 0xFAB0);  // payload moved to 66
    EXPECT_EQ(reader.NetU16(16), 20u + 32u + 7u);
    EXPECT_EQ(ReferenceTcpChecksum(frame), reader.NetU16(50));
    EXPECT_TRUE(Ipv4ChecksumValid(frame));
}

TEST(FrameBuilder, IpOptionsArePaddedAndShiftTheTcpHeader) {
    FrameSpec layout = SampleSpec();
    layout.ipOptions = {0x94, 0x04, 0x00};  // router alert, one byte short of a word
    auto frame = BuildFrame(layout);
    ByteReader reader(frame);
    EXPECT_EQ(reader.U8(14), 0x46);       // 24-byte IPv4 header
    EXPECT_EQ(reader.U8(34 + 3), 0x00);   // padding
    EXPECT_EQ(reader.NetU16(38), 49152);  // TCP source port after the options
    EXPECT_EQ(reader.U16(58), 0xFAB0);
    EXPECT_TRUE(Ipv4ChecksumValid(frame));
    EXPECT_EQ(ReferenceTcpChecksum(frame), reader.NetU16(38 + 16));
}

TEST(FrameBuilder, FlagsAndEmptyPayload) {
    FrameSpec layout = SampleSpec();
    layout.payload.clear();
    layout.tcpFlags = kTcpSyn;
    auto frame = BuildFrame(layout);
    ASSERT_EQ(frame.size(), 54u);
    EXPECT_EQ(frame[47], 0x02);
    EXPECT_TRUE(TcpChecksumValid(frame));
}

TEST(FrameBuilder, RefusesOversizedOptionsAndPayloads) {
    FrameSpec layout = SampleSpec();
    layout.tcpOptions.assign(41, 1);
    EXPECT_THROW(BuildFrame(layout), std::invalid_argument);
    layout.tcpOptions.assign(40, 1);
    EXPECT_EQ(BuildFrame(layout)[46] >> 4, 15);
    layout = SampleSpec();
    layout.payload.assign(0xFFFF - 40 + 1, 0);
    EXPECT_THROW(BuildFrame(layout), std::invalid_argument);
    layout.payload.assign(0xFFFF - 40, 0);
    EXPECT_EQ(BuildFrame(layout).size(), 14u + 0xFFFF);
}

TEST(FrameBuilder, MacAddressesComeFromTheIpAddresses) {
    auto frame = BuildFrame(SampleSpec());
    const std::vector<uint8_t> macs = {0x02, 0x00, 0x7F, 0x00, 0x00, 0x01,
                                       0x02, 0x00, 0x7F, 0x00, 0x00, 0x02};
    EXPECT_EQ(std::vector<uint8_t>(frame.begin(), frame.begin() + 12), macs);
}

TEST(Ipv4Text, ParsesStrictDottedDecimal) {
    EXPECT_EQ(ParseIpv4("127.0.0.1"), 0x7F000001u);
    EXPECT_EQ(ParseIpv4("255.255.255.255"), 0xFFFFFFFFu);
    EXPECT_EQ(ParseIpv4("127.0.0.256"), std::nullopt);
    EXPECT_EQ(ParseIpv4("127.0.0"), std::nullopt);
    EXPECT_EQ(ParseIpv4("127.0.0.1.2"), std::nullopt);
    EXPECT_EQ(ParseIpv4("127.0.0.1 "), std::nullopt);
    EXPECT_EQ(ParseIpv4("127..0.1"), std::nullopt);
    EXPECT_EQ(ParseIpv4("0x7f.0.0.1"), std::nullopt);
    EXPECT_EQ(ParseIpv4(""), std::nullopt);
    EXPECT_EQ(ParseEndpoint("127.0.0.3:2300"), (Endpoint{0x7F000003, 2300}));
    EXPECT_EQ(ParseEndpoint("127.0.0.3:65536"), std::nullopt);
    EXPECT_EQ(ParseEndpoint("127.0.0.3:"), std::nullopt);
    EXPECT_EQ(ParseEndpoint("127.0.0.3"), std::nullopt);
    EXPECT_EQ(ParseEndpoint("127.0.0.3:23x"), std::nullopt);
    EXPECT_TRUE(IsLoopback(0x7F123456));
    EXPECT_FALSE(IsLoopback(0xC0000202));
}

}  // namespace
}  // namespace korvane::tools
