// Whole runs of the driver over capture files: the clock follows the capture, frames reach the
// loop through the installed filter, and the run ends by itself after the last frame.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/driver.h"
#include "platform/fake_capture_library.h"
#include "platform/fake_sockets.h"
#include "platform/scripted_console.h"
#include "tests/support/program_args.h"
#include "tests/support/test_files.h"
#include "tools/frame_builder.h"
#include "tools/pcap_file_writer.h"

namespace korvane {
namespace {

using korvane::testing::FreshDirectory;
using korvane::testing::ReadTextFile;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr uint32_t kStart = 1075819800;  // Tue Feb 03 14:50:00 2004 UTC

std::vector<uint8_t> FrameTo(uint16_t port, size_t payloadBytes, uint8_t fill) {
    tools::FrameSpec layout;
    layout.source = {0x7F000002, 40000};
    layout.destination = {0x7F000001, port};
    layout.payload.assign(payloadBytes, fill);
    return tools::BuildFrame(layout);
}

// The frame bytes of each record of a batch.
std::vector<std::vector<uint8_t>> Frames(std::span<const uint8_t> batch) {
    std::vector<std::vector<uint8_t>> frames;
    size_t at = 0;
    while (at + kCaptureHeaderLength <= batch.size()) {
        uint32_t captured = batch[at + 8] | (batch[at + 9] << 8) | (batch[at + 10] << 16) |
                            (static_cast<uint32_t>(batch[at + 11]) << 24);
        uint16_t header = static_cast<uint16_t>(batch[at + 16] | (batch[at + 17] << 8));
        frames.emplace_back(batch.begin() + static_cast<long>(at + header),
                            batch.begin() + static_cast<long>(at + header + captured));
        at = (at + header + captured + 3) & ~size_t{3};
    }
    return frames;
}

class DriverReplayTest : public ::testing::Test {
  protected:
    void SetUp() override { dir_ = FreshDirectory("replay-driver"); }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    int Run(std::vector<std::string> args) {
        Driver driver({capture_, sockets_, console_, systemClock_, dir_});
        driver.SetBatchHandler([this](const CapturePacket& read) {
            ++passes_;
            if (!read.inPlace.bytes.empty()) {
                frames_.emplace_back(read.inPlace.bytes.begin(), read.inPlace.bytes.end());
            }
            for (auto& frame : Frames(read.Records())) {
                frames_.push_back(std::move(frame));
            }
        });
        const korvane::testing::ProgramArgs line(std::move(args));
        return driver.Run(line.argc(), line.argv());
    }

    FakeCaptureLibrary capture_;
    FakeSockets sockets_;
    ScriptedConsole console_;
    SystemClock systemClock_;
    std::filesystem::path dir_;
    std::vector<std::vector<uint8_t>> frames_;
    int passes_ = 0;
};

TEST_F(DriverReplayTest, RunFollowsTheCaptureClockAndEndsAfterTheLastFrame) {
    const std::string file = (dir_ / "game.pcap").string();
    {
        tools::PcapFileWriter writer(file);
        writer.Write(kStart, 250000, FrameTo(2300, 100, 0xA1));
        writer.Write(kStart, 900000, FrameTo(2301, 100, 0xB2));  // another port: filtered out
        writer.Write(kStart + 3, 0, FrameTo(2300, 1600, 0xC3));  // longer than the MTU
        ASSERT_TRUE(writer.Close());
    }
    ASSERT_EQ(Run({"/replay:" + file, "/host:127.0.0.1", "/port:2300"}), kExitOk);

    ASSERT_EQ(frames_.size(), 2u);
    EXPECT_EQ(frames_[0], FrameTo(2300, 100, 0xA1));
    EXPECT_EQ(frames_[1], FrameTo(2300, 1600, 0xC3));  // whole: the port filter cuts nothing
    // Reads: the first frame, then one-second steps up to the third (at 14:50:00.25 the gap
    // to 14:50:03 is more than a second: 01.25, 02.25, then the frame), then one more pass.
    EXPECT_EQ(passes_, 5);

    const std::string log = ReadTextFile(dir_ / "Korvane.log");
    EXPECT_TRUE(log.starts_with("Tue Feb 03 14:50:00: Korvane 2.1 (beta.1)")) << log;
    EXPECT_THAT(log, HasSubstr("Tue Feb 03 14:50:00: Command line: korvane /replay:" + file +
                               " /host:127.0.0.1 /port:2300\n"));
    EXPECT_THAT(log, HasSubstr("Tue Feb 03 14:50:04: Korvane shutting down.\n"
                               "Tue Feb 03 14:50:04: 3 packets received. 0 Packets lost\n"));
    EXPECT_THAT(console_.output(), HasSubstr("Replaying capture file " + file + "\n\n====="));
    EXPECT_THAT(console_.output(), ::testing::Not(HasSubstr("Adapters installed")));
    EXPECT_EQ(capture_.listCalls, 0);
}

TEST_F(DriverReplayTest, EscapeStopsAReplayEarly) {
    const std::string file = (dir_ / "long.pcap").string();
    {
        tools::PcapFileWriter writer(file);
        for (uint32_t i = 0; i < 50; ++i) {
            writer.Write(kStart + i, 0, FrameTo(2300, 10, static_cast<uint8_t>(i)));
        }
    }
    console_.PushKey(kEscapeKey, 2);
    ASSERT_EQ(Run({"/replay:" + file, "/host:127.0.0.1", "/port:2300"}), kExitOk);
    EXPECT_EQ(frames_.size(), 3u);
}

TEST_F(DriverReplayTest, DetectModeReplayUsesTheHostFilter) {
    const std::string file = (dir_ / "detect.pcap").string();
    {
        tools::PcapFileWriter writer(file, tools::PcapFileWriter::Format::pcapng);
        writer.Write(kStart, 0, FrameTo(2300, 100, 1));
        writer.Write(kStart, 1, FrameTo(2400, 300, 2));
    }
    ASSERT_EQ(Run({"/replay:" + file, "/host:127.0.0.1"}), kExitOk);
    ASSERT_EQ(frames_.size(), 2u);  // any port to the guarded address, cut to 176 bytes
    EXPECT_EQ(frames_[0], FrameTo(2300, 100, 1));
    EXPECT_EQ(frames_[1].size(), 176u);
    EXPECT_TRUE(sockets_.connects.empty());
}

TEST_F(DriverReplayTest, UnreadableCaptureFileEndsWithItsReason) {
    const std::string file = (dir_ / "absent.pcap").string();
    EXPECT_EQ(Run({"/replay:" + file, "/host:127.0.0.1", "/port:2300"}), kExitFailed);
    const std::vector<std::string> lines =
        korvane::testing::SplitLines(ReadTextFile(dir_ / "Korvane.log"));
    ASSERT_FALSE(lines.empty());
    EXPECT_THAT(lines.back(), HasSubstr(": Unable to open capture file " + file + ": "));
    EXPECT_GT(lines.back().size(), (": Unable to open capture file " + file + ": ").size() + 19);
    EXPECT_TRUE(console_.output().ends_with(lines.back() + "\n"));
    EXPECT_TRUE(sockets_.connects.empty());
}

TEST_F(DriverReplayTest, CaptureWithoutFramesRunsOnTheSystemClock) {
    const std::string file = (dir_ / "empty.pcap").string();
    { tools::PcapFileWriter writer(file); }
    const int64_t before = SystemClock().Now().seconds;
    ASSERT_EQ(Run({"/replay:" + file, "/host:127.0.0.1", "/port:2300"}), kExitOk);
    EXPECT_TRUE(frames_.empty());
    const std::string log = ReadTextFile(dir_ / "Korvane.log");
    const std::string stamp = CalendarText(before).substr(0, 16);  // to the minute
    EXPECT_TRUE(log.starts_with(stamp) || log.starts_with(CalendarText(before + 60).substr(0, 16)))
        << log;
    EXPECT_THAT(log, HasSubstr(": 0 packets received. 0 Packets lost\n"));
}

}  // namespace
}  // namespace korvane
