// The walk over captured buffers and the per-frame step: record offsets, the trace, port
// detection and the hand-over of frames to the server.
#include "capture/capture_walk.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "app/filter_installer.h"
#include "app/link_port_hook.h"
#include "capture/byte_reader.h"
#include "link/server_link.h"
#include "platform/fake_capture_library.h"
#include "platform/fake_sockets.h"
#include "platform/scripted_console.h"
#include "tools/frame_builder.h"
#include "tools/session_builder.h"

namespace korvane {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr uint32_t kServer = 0x7F000001;  // 127.0.0.1, the guarded address
constexpr uint32_t kPlayer = 0x7F000005;  // 127.0.0.5

std::vector<uint8_t> Frame(uint32_t from, uint16_t fromPort, uint32_t to, uint16_t toPort,
                           std::vector<uint8_t> payload, bool timestamps = false) {
    tools::FrameSpec layout;
    layout.source = {from, fromPort};
    layout.destination = {to, toPort};
    layout.payload = std::move(payload);
    layout.sequence = 1000;
    if (timestamps) {
        layout.tcpOptions = tools::TimestampOption(123456, 654321);
    }
    return tools::BuildFrame(layout);
}

// A payload of `size` bytes with the session token at 2 and `code` at 24 where they fit.
std::vector<uint8_t> Payload(size_t size, uint16_t code = 1, uint16_t token = 0xFAB0) {
    std::vector<uint8_t> p(size, 0);
    p[0] = static_cast<uint8_t>(size);
    p[2] = static_cast<uint8_t>(token);
    p[3] = static_cast<uint8_t>(token >> 8);
    if (size >= 26) {
        p[24] = static_cast<uint8_t>(code);
        p[25] = static_cast<uint8_t>(code >> 8);
    }
    return p;
}

std::vector<uint8_t> ToServer(uint16_t port, std::vector<uint8_t> payload) {
    return Frame(kPlayer, 1234, kServer, port, std::move(payload));
}

// A buffer of records as the capture driver writes them.
std::vector<uint8_t> Batch(const std::vector<std::vector<uint8_t>>& frames) {
    std::vector<uint8_t> batch(65536, 0);
    size_t at = 0;
    for (const auto& frame : frames) {
        at = *AppendCaptureRecord(batch, at, 0, 0, frame, static_cast<uint32_t>(frame.size()));
    }
    batch.resize(at);
    return batch;
}

// One raw record: the captured length and header length fields, then `frame` at `header`.
void PutRecord(std::vector<uint8_t>& batch, size_t at, uint32_t captured, uint16_t header,
               const std::vector<uint8_t>& frame) {
    batch.resize(std::max(batch.size(), at + std::max<size_t>(header + frame.size(), 18)), 0);
    for (int i = 0; i < 4; ++i) {
        batch[at + 8 + i] = static_cast<uint8_t>(captured >> (8 * i));
    }
    batch[at + 16] = static_cast<uint8_t>(header);
    batch[at + 17] = static_cast<uint8_t>(header >> 8);
    std::copy(frame.begin(), frame.end(), batch.begin() + static_cast<long>(at + header));
}

class CaptureWalkTest : public ::testing::Test {
  protected:
    CaptureWalkTest() {
        settings_.serverAddress = "127.0.0.1";
        settings_.debugTrace = true;
    }

    void Walk(const std::vector<uint8_t>& batch) { walk_.WalkCaptureBuffer(batch); }
    std::vector<std::string> TraceLines() const {
        std::vector<std::string> lines;
        std::string rest = console_.output();
        for (size_t end; (end = rest.find('\n')) != std::string::npos; rest.erase(0, end + 1)) {
            if (rest.find(" -> ") < end) {
                lines.push_back(rest.substr(0, end));
            }
        }
        return lines;
    }
    void Following(uint16_t port = 2300) {
        settings_.portMode = kPortGiven;
        settings_.serverPort = port;
    }

    RunSettings settings_;
    ScriptedConsole console_;
    ManualClock clock_{{1075819800, 0}};
    EventLog log_{clock_, console_};
    FakeSockets sockets_;
    ServerLink link_{sockets_, log_, settings_};
    FakeCaptureLibrary library_;
    std::unique_ptr<CaptureAdapter> adapter_ =
        library_.OpenAdapter(std::vector<uint8_t>{'l', 0, 'o', 0}, true);
    FilterInstaller filters_{*adapter_, console_};
    LinkPortHook hook_{link_, filters_, kServer};
    std::vector<std::vector<uint8_t>> dispatched_;
    std::vector<std::vector<uint8_t>> fromServer_;
    std::function<void()> onDispatch_;
    CaptureWalk walk_{settings_,
                      console_,
                      log_,
                      hook_,
                      kServer,
                      clock_,
                      {[this](std::span<const uint8_t> frame) {
                           dispatched_.emplace_back(frame.begin(), frame.end());
                           if (onDispatch_) {
                               onDispatch_();
                           }
                       },
                       [this](std::span<const uint8_t> frame) {
                           fromServer_.emplace_back(frame.begin(), frame.end());
                       }}};
};

TEST_F(CaptureWalkTest, RecordsFollowOneAnotherOnMultiplesOfFour) {
    Walk({});
    EXPECT_EQ(console_.output(), "");

    // 61 captured bytes after an 18-byte header: the next record starts at
    // (0 + 18 + 61 + 3) rounded down to a multiple of 4, that is 80.
    std::vector<uint8_t> batch;
    PutRecord(batch, 0, 61, 18, ToServer(2300, Payload(7)));
    PutRecord(batch, 80, 70, 18, ToServer(2301, Payload(16)));
    Walk(batch);
    EXPECT_THAT(TraceLines(),
                ::testing::ElementsAre("127.0.0.5.1234 -> 127.0.0.1.2300 (code=0000) len=61",
                                       "127.0.0.5.1234 -> 127.0.0.1.2301 (code=0000) len=70"));
}

TEST_F(CaptureWalkTest, RecordsBeyondTheReceivedBytesEndTheWalk) {
    std::vector<uint8_t> batch = Batch({ToServer(2300, Payload(10)), ToServer(2301, Payload(10))});
    batch.resize(batch.size() - 1);  // the second frame's last byte was not received
    Walk(batch);
    EXPECT_EQ(TraceLines().size(), 1u);

    // A header length pointing far beyond the buffer, and a tail too short for a header.
    console_.ClearOutput();
    std::vector<uint8_t> far;
    PutRecord(far, 0, 10, 60000, {});
    far.resize(64);
    Walk(far);
    std::vector<uint8_t> tail = Batch({ToServer(2300, Payload(10))});
    tail.resize(tail.size() + 17, 0xFF);
    Walk(tail);
    EXPECT_EQ(TraceLines().size(), 1u);
}

TEST_F(CaptureWalkTest, ARecordThatDoesNotAdvanceEndsTheWalk) {
    std::vector<uint8_t> batch;
    PutRecord(batch, 0, 0, 0, {});
    PutRecord(batch, 20, 70, 18, ToServer(2300, Payload(16)));
    Walk(batch);  // returns instead of reading the empty record for ever
    EXPECT_EQ(console_.output(), "");
}

TEST_F(CaptureWalkTest, AKeyPressDoesNotCutTheBufferShort) {
    console_.PushKey(kEscapeKey);
    Walk(Batch(
        {ToServer(2300, Payload(10)), ToServer(2300, Payload(11)), ToServer(2300, Payload(12))}));
    EXPECT_EQ(TraceLines().size(), 3u);
    EXPECT_TRUE(console_.KeysLeft());  // the loop reads the key after the walk
}

TEST_F(CaptureWalkTest, TraceShowsEveryFrameLongerThanSixtyBytes) {
    Following();
    Walk(Batch({ToServer(2300, Payload(6)), ToServer(2300, Payload(26)),
                Frame(kServer, 2300, kPlayer, 1234, Payload(40, 0x1234))}));
    EXPECT_THAT(TraceLines(),
                ::testing::ElementsAre("127.0.0.5.1234 -> 127.0.0.1.2300 (code=0001) len=80",
                                       "127.0.0.1.2300 -> 127.0.0.5.1234 (code=1234) len=94"));
    // The 60-byte frame is not traced, but handed on: its bytes count for the stream.
    ASSERT_EQ(dispatched_.size(), 2u);
    EXPECT_EQ(dispatched_[0].size(), 60u);
    EXPECT_EQ(dispatched_[1].size(), 80u);

    settings_.debugTrace = false;
    console_.ClearOutput();
    Walk(Batch({ToServer(2300, Payload(26))}));
    EXPECT_EQ(console_.output(), "");
    EXPECT_EQ(dispatched_.size(), 3u);
}

TEST_F(CaptureWalkTest, OnlyIpv4CarryingTcpIsHandedOnAfterTheTrace) {
    Following();
    std::vector<uint8_t> udp = ToServer(2300, Payload(30));
    udp[23] = 17;
    std::vector<uint8_t> ipv6 = ToServer(2300, Payload(30));
    ipv6[12] = 0x86;
    ipv6[13] = 0xDD;
    Walk(Batch({udp, ipv6}));
    EXPECT_EQ(TraceLines().size(), 2u);
    EXPECT_TRUE(dispatched_.empty());
}

TEST_F(CaptureWalkTest, FramesWithTimestampOptionsAreHandedOnInThePlainLayout) {
    Following();
    const std::vector<uint8_t> plain = ToServer(2300, Payload(40));
    const std::vector<uint8_t> stamped = Frame(kPlayer, 1234, kServer, 2300, Payload(40), true);
    ASSERT_EQ(stamped.size(), plain.size() + 12);
    Walk(Batch({stamped}));
    EXPECT_THAT(TraceLines(),
                ::testing::ElementsAre("127.0.0.5.1234 -> 127.0.0.1.2300 (code=0001) len=94"));
    ASSERT_EQ(dispatched_.size(), 1u);
    std::vector<uint8_t> got = dispatched_[0];
    ASSERT_EQ(got.size(), plain.size());
    // Everything but the checksums, which nothing reads, is as if sent without options.
    for (size_t checksum : {24, 25, 50, 51}) {
        got[checksum] = plain[checksum];
    }
    EXPECT_EQ(got, plain);

    // A 66-byte acknowledgement with time stamps carries no payload: it is not traced.
    console_.ClearOutput();
    Walk(Batch({Frame(kPlayer, 1234, kServer, 2300, {}, true)}));
    EXPECT_EQ(console_.output(), "");
}

TEST_F(CaptureWalkTest, FollowingHandsOnOnlyFramesToTheServerPortAndAddress) {
    Following(2400);
    Walk(Batch({ToServer(2400, Payload(30)), ToServer(2300, Payload(30)),
                Frame(kPlayer, 1234, 0x7F000009, 2400, Payload(30)),
                Frame(kServer, 2400, kPlayer, 1234, Payload(30))}));
    ASSERT_EQ(dispatched_.size(), 1u);
    EXPECT_EQ(dispatched_[0], ToServer(2400, Payload(30)));
}

TEST_F(CaptureWalkTest, AFailingHandOverIsReportedAndTheWalkGoesOn) {
    Following();
    settings_.debugTrace = false;
    onDispatch_ = [] { throw TruncatedData(); };
    Walk(Batch({ToServer(2300, Payload(30)), ToServer(2300, Payload(31))}));
    EXPECT_EQ(dispatched_.size(), 2u);
    EXPECT_EQ(console_.output(),
              "Unhandled exception in analyzePacket_port_2300()\n"
              "Unhandled exception in analyzePacket_port_2300()\n");
}

TEST_F(CaptureWalkTest, DetectionNeedsTheTokenTheGuardedAddressAndCodeOne) {
    settings_.debugTrace = false;
    Walk(Batch({ToServer(2400, Payload(36, 1, 0xFAB1)), ToServer(2400, Payload(36, 2)),
                Frame(kPlayer, 1234, 0x7F000009, 2400, Payload(36)),
                ToServer(2400, Payload(20))}));  // too short to hold the code word
    EXPECT_TRUE(sockets_.connects.empty());
    EXPECT_EQ(settings_.serverPort, 2300);
    EXPECT_TRUE(dispatched_.empty());
    EXPECT_EQ(console_.output(), "");
}

TEST_F(CaptureWalkTest, DetectedPortConnectsInstallsThePortFilterAndHandsTheFrameOn) {
    settings_.debugTrace = false;
    const std::vector<uint8_t> connect = ToServer(2400, tools::BuildConnectMessage());
    Walk(Batch({connect, ToServer(2400, Payload(40))}));
    EXPECT_EQ(settings_.serverPort, 2400);
    ASSERT_EQ(sockets_.connects.size(), 1u);
    EXPECT_EQ(sockets_.connects[0].address, kServer);
    EXPECT_EQ(sockets_.connects[0].port, 2400);
    ASSERT_EQ(library_.script->filters.size(), 1u);
    EXPECT_EQ(library_.script->filters[0][7].k, 2400u);
    EXPECT_EQ(console_.output(),
              "Tue Feb 03 14:50:00: Server port 2400 detected (0001)\n"
              "Tue Feb 03 14:50:00: Connection to server 127.0.0.1 established\n"
              "Analyzing traffic on server port 2400...\n");
    // The connect frame itself, then the following frame: detection is over.
    ASSERT_EQ(dispatched_.size(), 2u);
    EXPECT_EQ(dispatched_[0], connect);
}

TEST_F(CaptureWalkTest, FailedConnectionKeepsThePortAndDetectionActive) {
    settings_.debugTrace = false;
    sockets_.connectResults = {false, true};
    Walk(Batch({ToServer(2400, Payload(36)), ToServer(2400, Payload(40, 0))}));
    EXPECT_EQ(settings_.serverPort, 2400);
    EXPECT_FALSE(link_.linkUp());
    EXPECT_TRUE(library_.script->filters.empty());
    EXPECT_TRUE(dispatched_.empty());
    EXPECT_THAT(console_.output(), HasSubstr("Server port 2400 detected (0001)\n"));
    EXPECT_THAT(console_.output(), HasSubstr("could not connect to server\n"));

    Walk(Batch({ToServer(2500, Payload(36))}));
    EXPECT_EQ(settings_.serverPort, 2500);
    EXPECT_TRUE(link_.linkUp());
    EXPECT_EQ(dispatched_.size(), 1u);
}

TEST_F(CaptureWalkTest, AFailureInTheDetectedFrameIsDroppedQuietly) {
    settings_.debugTrace = false;
    onDispatch_ = [] { throw std::runtime_error("bad"); };
    Walk(Batch({ToServer(2400, Payload(36)), ToServer(2400, Payload(40, 0))}));
    ASSERT_EQ(dispatched_.size(), 2u);
    // Only the failure of the frame after detection is reported.
    const std::string& out = console_.output();
    EXPECT_EQ(out.find("Unhandled exception"), out.rfind("Unhandled exception"));
    EXPECT_TRUE(
        out.ends_with("Analyzing traffic on server port 2400...\n"
                      "Unhandled exception in analyzePacket_port_2300()\n"))
        << out;
}

TEST_F(CaptureWalkTest, TheProgramsOwnLinkIsNotAPlayer) {
    Following();
    settings_.debugTrace = false;
    ASSERT_EQ(link_.ConnectToServer(2300), 0);
    const SocketEnd own = *link_.localEnd();
    ASSERT_EQ(own.address, kServer);
    Walk(Batch({Frame(kServer, own.port, kServer, 2300, Payload(40)),
                Frame(kServer, static_cast<uint16_t>(own.port + 1), kServer, 2300, Payload(40))}));
    ASSERT_EQ(dispatched_.size(), 1u);
    EXPECT_EQ(ByteReader(dispatched_[0]).NetU16(34), own.port + 1);
}

}  // namespace
}  // namespace korvane
