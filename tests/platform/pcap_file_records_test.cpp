#include "platform/pcap_file_records.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/pcap_functions.h"
#include "tests/support/test_files.h"

namespace korvane {
namespace {

// What one read of a file gave: each record's stamp, lengths and bytes, then whether damage
// ended it.
struct Reading {
    std::vector<std::vector<uint32_t>> stamps;  // seconds, microseconds, captured, on the wire
    std::vector<std::vector<uint8_t>> frames;
    bool damaged = false;
};

struct Record {
    uint32_t seconds;
    uint32_t fraction;  // micro- or nanoseconds
    uint32_t captured;  // as the record header claims
    uint32_t wire;
    size_t bytes;  // frame bytes written (captured, unless the file is cut there)
};

struct ClassicFile {
    std::string name;
    bool swapped = false;
    bool nanoseconds = false;
    uint32_t snapshot = 262144;
    std::vector<Record> records;
    size_t cutTo = 0;  // the file's length when it is cut off, 0 when whole
};

std::vector<uint8_t> Bytes(const ClassicFile& file) {
    std::vector<uint8_t> out;
    auto u32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i) {
            const int shift = file.swapped ? 24 - 8 * i : 8 * i;
            out.push_back(static_cast<uint8_t>(v >> shift));
        }
    };
    auto u16 = [&](uint16_t v) {
        out.push_back(static_cast<uint8_t>(file.swapped ? v >> 8 : v));
        out.push_back(static_cast<uint8_t>(file.swapped ? v : v >> 8));
    };
    u32(file.nanoseconds ? 0xA1B23C4D : 0xA1B2C3D4);
    u16(2);
    u16(4);
    u32(0);
    u32(0);
    u32(file.snapshot);
    u32(1);  // Ethernet
    uint8_t fill = 0;
    for (const Record& record : file.records) {
        u32(record.seconds);
        u32(record.fraction);
        u32(record.captured);
        u32(record.wire);
        for (size_t i = 0; i < record.bytes; ++i) {
            out.push_back(fill++);
        }
    }
    if (file.cutTo != 0) {
        out.resize(file.cutTo);
    }
    return out;
}

class PcapFileRecordsTest : public ::testing::TestWithParam<ClassicFile> {
  protected:
    void SetUp() override {
        dir_ = korvane::testing::FreshDirectory("pcap-records");
        path_ = (dir_ / "capture.pcap").string();
        const std::vector<uint8_t> bytes = Bytes(GetParam());
        std::FILE* out = std::fopen(path_.c_str(), "wb");
        ASSERT_NE(out, nullptr);
        ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), out), bytes.size());
        std::fclose(out);
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    std::filesystem::path dir_;
    std::string path_;
};

// The same file read by the program's reader and by libpcap come out alike, record by record.
TEST_P(PcapFileRecordsTest, ReadsAsLibpcapReads) {
    std::string why;
    const PcapFunctions* pcap = SystemPcapFunctions(why);
    ASSERT_NE(pcap, nullptr) << why;

    Reading library;
    char error[PCAP_ERRBUF_SIZE] = {};
    pcap_t* handle = pcap->openOffline(path_.c_str(), error);
    ASSERT_NE(handle, nullptr) << error;
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    int status = 0;
    while ((status = pcap->nextEx(handle, &header, &data)) == 1) {
        library.stamps.push_back({static_cast<uint32_t>(header->ts.tv_sec),
                                  static_cast<uint32_t>(header->ts.tv_usec), header->caplen,
                                  header->len});
        library.frames.emplace_back(data, data + header->caplen);
    }
    library.damaged = status == PCAP_ERROR;
    pcap->close(handle);

    Reading own;
    std::FILE* in = std::fopen(path_.c_str(), "rb");
    ASSERT_NE(in, nullptr);
    std::unique_ptr<PcapFileRecords> records = PcapFileRecords::Of(in);
    ASSERT_NE(records, nullptr);
    std::vector<uint8_t> previous;
    std::span<const uint8_t> previousBytes;
    while (std::optional<CapturedFrame> frame = records->Next()) {
        // The record handed on before stays where it was while the next one is read.
        EXPECT_TRUE(std::equal(previousBytes.begin(), previousBytes.end(), previous.begin(),
                               previous.end()));
        own.stamps.push_back({frame->seconds, frame->micros,
                              static_cast<uint32_t>(frame->bytes.size()), frame->wireLength});
        own.frames.emplace_back(frame->bytes.begin(), frame->bytes.end());
        previous = own.frames.back();
        previousBytes = frame->bytes;
    }
    own.damaged = !records->Damage().empty();
    EXPECT_FALSE(records->Next().has_value());

    EXPECT_EQ(own.stamps, library.stamps);
    EXPECT_EQ(own.frames, library.frames);
    EXPECT_EQ(own.damaged, library.damaged) << records->Damage();
}

// Frames of many sizes, so that reads of the file cut records at every kind of place.
std::vector<Record> ManyRecords() {
    std::vector<Record> records;
    const size_t sizes[] = {60, 1514, 333, 65549, 7, 0, 9000, 590};
    for (uint32_t i = 0; i < 400; ++i) {
        const auto size = static_cast<uint32_t>(sizes[i % 8]);
        records.push_back({1000 + i, i * 1000, size, size + i % 3, size});
    }
    return records;
}

const Record kSmall{100, 250000, 60, 60, 60};
const Record kLarger{100, 999999, 200, 1514, 200};

INSTANTIATE_TEST_SUITE_P(
    Files, PcapFileRecordsTest,
    ::testing::Values(
        ClassicFile{"Microseconds", false, false, 262144, {kSmall, kLarger}},
        ClassicFile{"BigEndian", true, false, 262144, {kSmall, kLarger}},
        ClassicFile{"Nanoseconds", false, true, 262144, {{7, 123456789, 60, 60, 60}}},
        ClassicFile{"BigEndianNanoseconds", true, true, 262144, {{7, 999999999, 60, 60, 60}}},
        ClassicFile{"FrameLongerThanTheSnapshot", false, false, 100, {kLarger, kSmall}},
        ClassicFile{"SnapshotZero", false, false, 0, {kSmall}},
        ClassicFile{"Empty", false, false, 262144, {}},
        ClassicFile{"CutInAFrame", false, false, 262144, {kSmall, kLarger}, 24 + 76 + 50},
        ClassicFile{"CutInARecordHeader", false, false, 262144, {kSmall, kLarger}, 24 + 76 + 9},
        ClassicFile{"CapturedLengthPastTheLargest",
                    false,
                    false,
                    262144,
                    {kSmall, {101, 0, 262145, 262145, 10}}},
        ClassicFile{"ManyFramesOverManyReads", false, false, 262144, ManyRecords()}),
    [](const ::testing::TestParamInfo<ClassicFile>& param) { return param.param.name; });

TEST(PcapFileRecords, OtherFilesAreLeftToTheLibrary) {
    const auto dir = korvane::testing::FreshDirectory("pcap-records-other");
    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
    } files[] = {
        {"short", {0xD4, 0xC3, 0xB2}},
        {"pcapng", {0x0A, 0x0D, 0x0D, 0x0A, 28,   0,    0,    0,    0x4D, 0x3C, 0x2B, 0x1A, 1, 0,
                    0,    0,    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 28,   0,    0, 0}},
        {"version 2.3", {0xD4, 0xC3, 0xB2, 0xA1, 2,    0,    3, 0, 0, 0, 0, 0,
                         0,    0,    0,    0,    0xFF, 0xFF, 0, 0, 1, 0, 0, 0}},
        {"raw IP", {0xD4, 0xC3, 0xB2, 0xA1, 2,    0,    4, 0, 0,   0, 0, 0,
                    0,    0,    0,    0,    0xFF, 0xFF, 0, 0, 101, 0, 0, 0}},
    };
    for (const auto& file : files) {
        const std::string path = (dir / "file").string();
        std::FILE* out = std::fopen(path.c_str(), "wb");
        ASSERT_NE(out, nullptr);
        std::fwrite(file.bytes.data(), 1, file.bytes.size(), out);
        std::fclose(out);
        std::FILE* in = std::fopen(path.c_str(), "rb");
        ASSERT_NE(in, nullptr);
        EXPECT_EQ(PcapFileRecords::Of(in), nullptr) << file.name;
        std::fclose(in);
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace korvane
