#include "platform/replay_capture.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/test_files.h"
#include "tools/pcap_file_writer.h"

namespace korvane {
namespace {

using tools::PcapFileWriter;

uint32_t U32At(std::span<const uint8_t> b, size_t at) {
    return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
           static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// An Ethernet II / IPv4 / TCP frame of `size` bytes (at least 54) to `port`; the bytes after the
// headers count up from `fill` so frames can be told apart.
std::vector<uint8_t> TcpFrame(uint16_t port, size_t size, uint8_t fill = 0) {
    std::vector<uint8_t> f(size, 0);
    f[12] = 0x08;  // EtherType IPv4
    f[13] = 0x00;
    f[14] = 0x45;  // version 4, 20-byte header
    f[16] = static_cast<uint8_t>((size - 14) >> 8);
    f[17] = static_cast<uint8_t>(size - 14);
    f[23] = 6;  // TCP
    f[26] = 10;
    f[29] = 5;
    f[30] = 10;
    f[33] = 1;
    f[34] = 0x04;
    f[35] = 0xD2;  // source port 1234
    f[36] = static_cast<uint8_t>(port >> 8);
    f[37] = static_cast<uint8_t>(port);
    f[46] = 0x50;  // 20-byte TCP header
    for (size_t i = 54; i < size; ++i) {
        f[i] = static_cast<uint8_t>(fill + i);
    }
    return f;
}

// Accepts IPv4 TCP frames to `port` (20-byte IPv4 header assumed), keeping `keep` bytes; rejects
// everything else.
std::vector<BpfInstruction> PortFilter(uint16_t port, uint32_t keep) {
    return {
        {0x28, 0, 0, 12},      // ldh [12]
        {0x15, 0, 5, 0x0800},  // IPv4? no: reject
        {0x30, 0, 0, 23},      // ldb [23]
        {0x15, 0, 3, 6},       // TCP? no: reject
        {0x28, 0, 0, 36},      // ldh [36]
        {0x15, 0, 1, port},    // port? no: reject
        {0x06, 0, 0, keep},    // ret #keep
        {0x06, 0, 0, 0},       // ret #0
    };
}

struct Frame {
    uint32_t seconds;
    uint32_t micros;
    std::vector<uint8_t> bytes;
    uint32_t wireLength = 0;
};

class ReplayCaptureTest : public ::testing::TestWithParam<PcapFileWriter::Format> {
  protected:
    void SetUp() override { dir_ = korvane::testing::FreshDirectory("replay-test"); }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    std::string WriteFile(const std::vector<Frame>& frames) {
        std::string path = (dir_ / ("capture" + std::to_string(files_++))).string();
        PcapFileWriter writer(path, GetParam());
        for (const Frame& f : frames) {
            writer.Write(f.seconds, f.micros, f.bytes, f.wireLength);
        }
        EXPECT_TRUE(writer.Close());
        return path;
    }

    std::unique_ptr<ReplayCapture> OpenFile(const std::string& path) {
        std::string reason;
        auto replay = ReplayCapture::Open(path, clock_, reason);
        EXPECT_NE(replay, nullptr) << reason;
        return replay;
    }

    // Reads once; returns the captured frame bytes, or nothing when the read delivered none. A
    // classic pcap file's frame comes in place, any other's as one record in the buffer.
    std::optional<std::vector<uint8_t>> Read(ReplayCapture& replay) {
        packet_.Init(buffer_);
        EXPECT_TRUE(replay.ReceivePacket(packet_));
        const CapturedFrame& frame = packet_.inPlace;
        if (packet_.Delivered()) {
            EXPECT_EQ(!frame.bytes.empty(), GetParam() == PcapFileWriter::Format::pcap)
                << "in place just when read from a mapped classic file";
        }
        if (!frame.bytes.empty()) {
            EXPECT_EQ(packet_.bytesReceived, 0u);
            delivered_ = {frame.seconds, frame.micros, static_cast<uint32_t>(frame.bytes.size()),
                          frame.wireLength};
            return std::vector<uint8_t>(frame.bytes.begin(), frame.bytes.end());
        }
        if (packet_.bytesReceived == 0) {
            return std::nullopt;
        }
        std::span<const uint8_t> batch(buffer_.data(), packet_.bytesReceived);
        uint32_t captured = U32At(batch, 8);
        EXPECT_EQ(packet_.bytesReceived, kCaptureHeaderLength + captured) << "one record per read";
        EXPECT_EQ(buffer_[16], kCaptureHeaderLength);
        EXPECT_EQ(buffer_[17], 0);
        EXPECT_EQ(buffer_[18], 0);
        EXPECT_EQ(buffer_[19], 0);
        delivered_ = {U32At(batch, 0), U32At(batch, 4), captured, U32At(batch, 12)};
        return std::vector<uint8_t>(batch.begin() + kCaptureHeaderLength, batch.end());
    }

    // A field of the latest delivery as its capture header holds it: stamp seconds (0) and
    // microseconds (4), captured length (8), length on the wire (12).
    uint32_t RecordField(size_t at) const { return delivered_[at / 4]; }

    std::filesystem::path dir_;
    int files_ = 0;
    ManualClock clock_{{5, 0}};
    std::vector<uint8_t> buffer_ = std::vector<uint8_t>(262144);
    CapturePacket packet_;
    std::array<uint32_t, 4> delivered_{};
};

TEST_P(ReplayCaptureTest, OpenSetsClockToFirstFrame) {
    auto path = WriteFile({{1000, 250000, TcpFrame(2300, 60)}, {1000, 900000, TcpFrame(2300, 60)}});
    auto replay = OpenFile(path);
    ASSERT_NE(replay, nullptr);
    EXPECT_EQ(clock_.Now(), (ClockReading{1000, 250000}));
    EXPECT_FALSE(replay->AtEnd());
}

TEST_P(ReplayCaptureTest, DeliversOneFramePerReadAsOneRecord) {
    std::vector<Frame> frames = {{2000, 1, TcpFrame(2300, 60, 1)},
                                 {2000, 100000, TcpFrame(80, 61, 2), 1514},
                                 {2000, 200000, TcpFrame(2300, 300, 3)}};
    auto replay = OpenFile(WriteFile(frames));
    ASSERT_NE(replay, nullptr);
    for (const Frame& f : frames) {
        std::fill(buffer_.begin(), buffer_.end(), 0xEE);
        auto got = Read(*replay);
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(*got, f.bytes);
        EXPECT_EQ(RecordField(0), f.seconds);
        EXPECT_EQ(RecordField(4), f.micros);
        EXPECT_EQ(RecordField(8), f.bytes.size());
        EXPECT_EQ(RecordField(12), f.wireLength == 0 ? f.bytes.size() : f.wireLength);
        EXPECT_EQ(clock_.Now(), (ClockReading{f.seconds, static_cast<int32_t>(f.micros)}));
    }
    EXPECT_TRUE(replay->AtEnd());
}

TEST_P(ReplayCaptureTest, GapOfMoreThanASecondIsCrossedInOneSecondSteps) {
    auto path = WriteFile({{100, 0, TcpFrame(2300, 60, 1)},
                           {100, 500000, TcpFrame(2300, 60, 2)},
                           {103, 200000, TcpFrame(2300, 60, 3)}});
    auto replay = OpenFile(path);
    ASSERT_NE(replay, nullptr);
    EXPECT_EQ(clock_.Now(), (ClockReading{100, 0}));

    auto f1 = Read(*replay);
    ASSERT_TRUE(f1.has_value());
    EXPECT_EQ((*f1)[54], 55);
    EXPECT_EQ(clock_.Now(), (ClockReading{100, 0}));

    auto f2 = Read(*replay);
    ASSERT_TRUE(f2.has_value());
    EXPECT_EQ((*f2)[54], 56);
    EXPECT_EQ(clock_.Now(), (ClockReading{100, 500000}));

    // 103.2 is 2.7 s ahead: two empty reads of one second each, then the frame.
    EXPECT_FALSE(Read(*replay).has_value());
    EXPECT_EQ(clock_.Now(), (ClockReading{101, 500000}));
    EXPECT_FALSE(Read(*replay).has_value());
    EXPECT_EQ(clock_.Now(), (ClockReading{102, 500000}));
    EXPECT_FALSE(replay->AtEnd());

    auto f3 = Read(*replay);
    ASSERT_TRUE(f3.has_value());
    EXPECT_EQ((*f3)[54], 57);
    EXPECT_EQ(clock_.Now(), (ClockReading{103, 200000}));
    EXPECT_TRUE(replay->AtEnd());

    EXPECT_FALSE(Read(*replay).has_value());
    EXPECT_EQ(clock_.Now(), (ClockReading{104, 200000}));
    EXPECT_FALSE(Read(*replay).has_value());
    EXPECT_EQ(clock_.Now(), (ClockReading{105, 200000}));
    EXPECT_TRUE(replay->AtEnd());
}

TEST_P(ReplayCaptureTest, FrameExactlyOneSecondAheadIsDeliveredAtOnce) {
    auto path = WriteFile(
        {{100, 0, TcpFrame(2300, 60)}, {101, 0, TcpFrame(2300, 60)}, {102, 1, TcpFrame(2300, 60)}});
    auto replay = OpenFile(path);
    ASSERT_NE(replay, nullptr);
    ASSERT_TRUE(Read(*replay).has_value());
    ASSERT_TRUE(Read(*replay).has_value());
    EXPECT_EQ(clock_.Now(), (ClockReading{101, 0}));
    // One microsecond more than a second ahead: one step first.
    EXPECT_FALSE(Read(*replay).has_value());
    EXPECT_EQ(clock_.Now(), (ClockReading{102, 0}));
    ASSERT_TRUE(Read(*replay).has_value());
    EXPECT_EQ(clock_.Now(), (ClockReading{102, 1}));
}

TEST_P(ReplayCaptureTest, ClockNeverMovesBackwards) {
    auto path =
        WriteFile({{100, 500000, TcpFrame(2300, 60, 1)}, {100, 200000, TcpFrame(2300, 60, 2)}});
    auto replay = OpenFile(path);
    ASSERT_NE(replay, nullptr);
    ASSERT_TRUE(Read(*replay).has_value());
    auto second = Read(*replay);
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ((*second)[54], 56);
    EXPECT_EQ(RecordField(4), 200000u);  // the record keeps its own stamp
    EXPECT_EQ(clock_.Now(), (ClockReading{100, 500000}));
}

TEST_P(ReplayCaptureTest, RejectedFramesAreSkippedWithoutTouchingTheClock) {
    auto path = WriteFile({{100, 0, TcpFrame(2300, 60, 1)},
                           {100, 200000, TcpFrame(80, 60, 2)},
                           {109, 0, TcpFrame(80, 60, 3)},
                           {100, 400000, TcpFrame(2300, 60, 4)},
                           {120, 0, TcpFrame(443, 60, 5)}});
    auto replay = OpenFile(path);
    ASSERT_NE(replay, nullptr);
    ASSERT_TRUE(replay->SetBpf(PortFilter(2300, 1500)));

    auto a = Read(*replay);
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ((*a)[54], 55);
    EXPECT_EQ(clock_.Now(), (ClockReading{100, 0}));

    // The frame at 109 s is rejected, so it neither delivers nor steps the clock.
    auto d = Read(*replay);
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ((*d)[54], 58);
    EXPECT_EQ(clock_.Now(), (ClockReading{100, 400000}));

    // Only a rejected frame is left: the read skips it and finds the end.
    EXPECT_FALSE(replay->AtEnd());
    EXPECT_FALSE(Read(*replay).has_value());
    EXPECT_EQ(clock_.Now(), (ClockReading{101, 400000}));
    EXPECT_TRUE(replay->AtEnd());
}

TEST_P(ReplayCaptureTest, FramesAreCutToTheLengthTheFilterReturns) {
    std::vector<uint8_t> big = TcpFrame(2300, 200, 7);
    auto path = WriteFile({{100, 0, big}, {100, 1, TcpFrame(2300, 60, 8)}});
    auto replay = OpenFile(path);
    ASSERT_NE(replay, nullptr);
    ASSERT_TRUE(replay->SetBpf(PortFilter(2300, 96)));

    auto cut = Read(*replay);
    ASSERT_TRUE(cut.has_value());
    EXPECT_EQ(*cut, std::vector<uint8_t>(big.begin(), big.begin() + 96));
    EXPECT_EQ(RecordField(8), 96u);
    EXPECT_EQ(RecordField(12), 200u);

    auto small = Read(*replay);
    ASSERT_TRUE(small.has_value());
    EXPECT_EQ(small->size(), 60u);
    EXPECT_EQ(RecordField(12), 60u);
}

TEST_P(ReplayCaptureTest, FilterInstalledBetweenReadsDecidesAboutTheWaitingFrame) {
    auto path = WriteFile({{100, 0, TcpFrame(2300, 60, 1)},
                           {103, 0, TcpFrame(80, 60, 2)},
                           {103, 500000, TcpFrame(2300, 60, 3)}});
    auto replay = OpenFile(path);
    ASSERT_NE(replay, nullptr);
    ASSERT_TRUE(Read(*replay).has_value());
    // No filter yet: the port-80 frame is ahead by 3 s, so the read steps.
    EXPECT_FALSE(Read(*replay).has_value());
    EXPECT_EQ(clock_.Now(), (ClockReading{101, 0}));

    // Now the port-80 frame is rejected; the next one is 2.5 s ahead.
    ASSERT_TRUE(replay->SetBpf(PortFilter(2300, 1500)));
    EXPECT_FALSE(Read(*replay).has_value());
    EXPECT_EQ(clock_.Now(), (ClockReading{102, 0}));
    EXPECT_FALSE(Read(*replay).has_value());
    EXPECT_EQ(clock_.Now(), (ClockReading{103, 0}));
    auto last = Read(*replay);
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ((*last)[54], 57);
    EXPECT_EQ(clock_.Now(), (ClockReading{103, 500000}));
    EXPECT_TRUE(replay->AtEnd());
}

TEST_P(ReplayCaptureTest, InvalidProgramsAreRefusedAndTheOldFilterStays) {
    auto path = WriteFile({{100, 0, TcpFrame(80, 60)}, {100, 1, TcpFrame(2300, 60)}});
    auto replay = OpenFile(path);
    ASSERT_NE(replay, nullptr);
    ASSERT_TRUE(replay->SetBpf(PortFilter(2300, 1500)));
    std::vector<BpfInstruction> jumpsOut = {{0x15, 5, 5, 0}, {0x06, 0, 0, 1500}};
    EXPECT_FALSE(replay->SetBpf(jumpsOut));
    std::vector<BpfInstruction> noReturn = {{0x28, 0, 0, 12}};
    EXPECT_FALSE(replay->SetBpf(noReturn));
    EXPECT_FALSE(replay->SetBpf({}));

    auto got = Read(*replay);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ((*got)[37], 2300 & 0xFF);
}

TEST_P(ReplayCaptureTest, StatsCountEveryFrameReadFromTheFile) {
    auto path = WriteFile({{100, 0, TcpFrame(2300, 60)},
                           {100, 1, TcpFrame(80, 60)},
                           {100, 2, TcpFrame(80, 60)},
                           {100, 3, TcpFrame(2300, 60)}});
    auto replay = OpenFile(path);
    ASSERT_NE(replay, nullptr);
    ASSERT_TRUE(replay->SetBpf(PortFilter(2300, 1500)));
    EXPECT_EQ(replay->GetStats()->received, 0u);
    ASSERT_TRUE(Read(*replay).has_value());
    EXPECT_EQ(replay->GetStats()->received, 1u);
    ASSERT_TRUE(Read(*replay).has_value());
    EXPECT_EQ(replay->GetStats()->received, 4u);
    EXPECT_FALSE(Read(*replay).has_value());
    auto stats = replay->GetStats();
    ASSERT_TRUE(stats.has_value());
    EXPECT_EQ(stats->received, 4u);
    EXPECT_EQ(stats->dropped, 0u);
}

TEST_P(ReplayCaptureTest, FileWithoutFramesLeavesClockAndIsAtEnd) {
    auto replay = OpenFile(WriteFile({}));
    ASSERT_NE(replay, nullptr);
    EXPECT_EQ(clock_.Now(), (ClockReading{5, 0}));
    EXPECT_TRUE(replay->AtEnd());
    EXPECT_FALSE(Read(*replay).has_value());
    EXPECT_EQ(clock_.Now(), (ClockReading{6, 0}));
}

TEST_P(ReplayCaptureTest, CutOffLastRecordEndsTheFile) {
    auto path = WriteFile({{100, 0, TcpFrame(2300, 60, 1)}, {100, 5, TcpFrame(2300, 200, 2)}});
    std::filesystem::resize_file(path, std::filesystem::file_size(path) - 50);
    auto replay = OpenFile(path);
    ASSERT_NE(replay, nullptr);
    EXPECT_EQ(replay->ErrorText(), "");
    auto first = Read(*replay);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->size(), 60u);
    EXPECT_TRUE(replay->AtEnd());
    // The run ends there as at the regular end, but the damage is told.
    const std::string why = replay->ErrorText();
    EXPECT_EQ(why.rfind("capture file ends early: ", 0), 0u) << why;
    EXPECT_GT(why.size(), std::string("capture file ends early: ").size()) << why;
    EXPECT_FALSE(Read(*replay).has_value());
    EXPECT_EQ(clock_.Now(), (ClockReading{101, 0}));
    EXPECT_EQ(replay->ErrorText(), why);
}

TEST_P(ReplayCaptureTest, RegularEndLeavesNothingToTell) {
    auto replay =
        OpenFile(WriteFile({{100, 0, TcpFrame(2300, 60)}, {100, 5, TcpFrame(2300, 200)}}));
    ASSERT_NE(replay, nullptr);
    ASSERT_TRUE(Read(*replay).has_value());
    ASSERT_TRUE(Read(*replay).has_value());
    EXPECT_TRUE(replay->AtEnd());
    EXPECT_FALSE(Read(*replay).has_value());
    EXPECT_EQ(replay->ErrorText(), "");
}

TEST_P(ReplayCaptureTest, FrameLargerThanTheBufferIsCutToFit) {
    auto replay = OpenFile(WriteFile({{100, 0, TcpFrame(2300, 300, 1)}}));
    ASSERT_NE(replay, nullptr);
    std::vector<uint8_t> small(120, 0xEE);
    packet_.Init(small);
    ASSERT_TRUE(replay->ReceivePacket(packet_));
    if (packet_.inPlace.bytes.empty()) {
        EXPECT_EQ(packet_.bytesReceived, 120u);
        EXPECT_EQ(U32At(small, 8), 100u);
        EXPECT_EQ(U32At(small, 12), 300u);
    } else {
        EXPECT_EQ(packet_.inPlace.bytes.size(), 100u);  // as much as a record would hold
        EXPECT_EQ(packet_.inPlace.wireLength, 300u);
    }

    std::vector<uint8_t> tiny(19);
    packet_.Init(tiny);
    EXPECT_FALSE(replay->ReceivePacket(packet_));
}

std::string FormatName(const ::testing::TestParamInfo<PcapFileWriter::Format>& param) {
    return param.param == PcapFileWriter::Format::pcap ? "pcap" : "pcapng";
}

INSTANTIATE_TEST_SUITE_P(Formats, ReplayCaptureTest,
                         ::testing::Values(PcapFileWriter::Format::pcap,
                                           PcapFileWriter::Format::pcapng),
                         FormatName);

class ReplayOpenFailure : public ::testing::Test {
  protected:
    void SetUp() override { dir_ = korvane::testing::FreshDirectory("replay-fail"); }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    std::filesystem::path dir_;
    ManualClock clock_{{5, 0}};
};

TEST_F(ReplayOpenFailure, MissingFileGivesLibraryReason) {
    std::string reason;
    auto replay = ReplayCapture::Open((dir_ / "absent.pcap").string(), clock_, reason);
    EXPECT_EQ(replay, nullptr);
    EXPECT_NE(reason.find("absent.pcap"), std::string::npos) << reason;
    EXPECT_EQ(clock_.Now(), (ClockReading{5, 0}));
}

TEST_F(ReplayOpenFailure, FileThatIsNotACaptureGivesReason) {
    std::string path = (dir_ / "text.pcap").string();
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("this is not a capture file at all\n", f);
    std::fclose(f);
    std::string reason;
    EXPECT_EQ(ReplayCapture::Open(path, clock_, reason), nullptr);
    EXPECT_FALSE(reason.empty());
    EXPECT_EQ(clock_.Now(), (ClockReading{5, 0}));
}

TEST_F(ReplayOpenFailure, NonEthernetCaptureIsRefused) {
    // A classic pcap file of link type 101 (raw IP) holding one frame.
    auto u32 = [](std::vector<uint8_t>& out, uint32_t v) {
        for (int i = 0; i < 4; ++i) {
            out.push_back(static_cast<uint8_t>(v >> (8 * i)));
        }
    };
    std::vector<uint8_t> file;
    u32(file, 0xA1B2C3D4);
    file.insert(file.end(), {2, 0, 4, 0});
    u32(file, 0);
    u32(file, 0);
    u32(file, 65535);
    u32(file, 101);
    std::vector<uint8_t> packet = TcpFrame(2300, 60);
    u32(file, 1000);
    u32(file, 0);
    u32(file, static_cast<uint32_t>(packet.size() - 14));
    u32(file, static_cast<uint32_t>(packet.size() - 14));
    file.insert(file.end(), packet.begin() + 14, packet.end());

    std::string path = (dir_ / "raw.pcap").string();
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(file.data(), 1, file.size(), f), file.size());
    std::fclose(f);

    std::string reason;
    EXPECT_EQ(ReplayCapture::Open(path, clock_, reason), nullptr);
    EXPECT_EQ(reason, "not an Ethernet capture (link type RAW: Raw IP)");
    EXPECT_EQ(clock_.Now(), (ClockReading{5, 0}));
}

}  // namespace
}  // namespace korvane
