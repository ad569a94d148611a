#include "capture/frame_headers.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "capture/player_table.h"
#include "capture/session_dispatcher.h"
#include "platform/clock.h"
#include "platform/scripted_console.h"
#include "tests/support/stream_world.h"
#include "tools/frame_builder.h"
#include "tools/session_builder.h"

namespace korvane {
namespace {

using Bytes = std::vector<uint8_t>;

// Where the two checksums stand in a frame without options. They cover the option bytes, so
// they are the only bytes a frame rid of its options may differ in from one built without.
constexpr size_t kIpChecksum = 24;
constexpr size_t kTcpChecksum = 50;

Bytes CreationFrame(Bytes ipOptions = {}, Bytes tcpOptions = {}) {
    tools::FrameSpec layout;
    layout.source = {0x7F000002, 40000};
    layout.destination = {0x7F000001, 2300};
    layout.payload = tools::BuildCreationMessage(0x5150, std::string_view("Option Pilot"));
    layout.sequence = 0x01020304;
    layout.acknowledgement = 0x0A0B0C0D;
    layout.ipIdentification = 0x1234;
    layout.tcpFlags = tools::kTcpPsh | tools::kTcpAck | tools::kTcpFin;
    layout.ipOptions = std::move(ipOptions);
    layout.tcpOptions = std::move(tcpOptions);
    return tools::BuildFrame(layout);
}

// What dispatching a frame does to a fresh table: the console text and the record's name.
std::string DispatchOutcome(std::span<const uint8_t> frame) {
    testing::StreamWorld world;
    world.Take(frame);
    const PlayerRecord* record = world.players.Find("127.0.0.2");
    return world.console.output() + "|" + (record == nullptr ? "none" : record->name.c_str());
}

TEST(PlainTcpFrameTest, OptionsAreRemoved) {
    // The low bits beside the TCP data offset (reserved, and the ECN nonce flag) are kept.
    const auto withNonce = [](Bytes frame) {
        frame[tools::kEthernetHeaderLength + (frame[14] & 0x0F) * 4 + 12] |= 0x01;
        return frame;
    };
    const Bytes plain = withNonce(CreationFrame());
    const Bytes routerAlert = {0x94, 0x04, 0x00, 0x00};
    const Bytes timestamp = tools::TimestampOption(0x11223344, 0x55667788);
    const Bytes withOptions[] = {
        withNonce(CreationFrame({}, timestamp)),
        withNonce(CreationFrame(routerAlert, {})),
        withNonce(CreationFrame(routerAlert, timestamp)),
    };
    for (const Bytes& frame : withOptions) {
        SCOPED_TRACE(frame.size());
        ASSERT_GT(frame.size(), plain.size());
        Bytes scratch;
        const PlainFrame result = PlainTcpFrame(frame, scratch);
        EXPECT_TRUE(result.ipv4Tcp);
        ASSERT_EQ(result.bytes.size(), plain.size());
        for (size_t i = 0; i < plain.size(); ++i) {
            if (i == kIpChecksum || i == kIpChecksum + 1 || i == kTcpChecksum ||
                i == kTcpChecksum + 1) {
                continue;
            }
            ASSERT_EQ(result.bytes[i], plain[i]) << "at offset " << i;
        }
        EXPECT_EQ(DispatchOutcome(result.bytes), DispatchOutcome(plain));
    }
    EXPECT_EQ(DispatchOutcome(plain), "00005150 User connected\n|Option Pilot");
}

TEST(PlainTcpFrameTest, FramesWithoutOptionsPassUnchanged) {
    Bytes whole = CreationFrame();
    Bytes firstFragment = whole;
    firstFragment[20] = 0x20;  // more fragments follow, offset 0
    firstFragment[21] = 0x00;
    for (const Bytes* frame : {&whole, &firstFragment}) {
        Bytes scratch;
        const PlainFrame result = PlainTcpFrame(*frame, scratch);
        EXPECT_TRUE(result.ipv4Tcp);
        EXPECT_EQ(result.bytes.data(), frame->data());
        EXPECT_EQ(result.bytes.size(), frame->size());
        EXPECT_TRUE(scratch.empty());
    }
}

TEST(PlainTcpFrameTest, OtherFramesAreNotIpv4Tcp) {
    struct Case {
        const char* what;
        std::function<void(Bytes&)> change;
        bool withTimestamp = false;
    };
    const Case cases[] = {
        {"UDP", [](Bytes& f) { f[23] = 17; }},
        {"IPv6 ethertype",
         [](Bytes& f) {
             f[12] = 0x86;
             f[13] = 0xDD;
         }},
        {"IPv4 version field 6", [](Bytes& f) { f[14] = 0x65; }},
        {"later fragment",
         [](Bytes& f) {
             f[20] = 0x20;
             f[21] = 0x01;
         }},
        {"last fragment",
         [](Bytes& f) {
             f[20] = 0x00;
             f[21] = 0xB9;
         }},
        {"IPv4 header length 16", [](Bytes& f) { f[14] = 0x44; }},
        {"TCP data offset 16", [](Bytes& f) { f[46] = 0x40; }},
        {"IPv4 header beyond the capture",
         [](Bytes& f) {
             f[14] = 0x4F;
             f.resize(80);
         }},
        {"cut in Ethernet header", [](Bytes& f) { f.resize(13); }},
        {"cut in IPv4 header", [](Bytes& f) { f.resize(30); }},
        {"cut in TCP header", [](Bytes& f) { f.resize(50); }},
        {"cut in TCP options", [](Bytes& f) { f.resize(60); }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes frame =
            c.withTimestamp ? CreationFrame({}, tools::TimestampOption(1, 2)) : CreationFrame();
        c.change(frame);
        Bytes scratch;
        const PlainFrame result = PlainTcpFrame(frame, scratch);
        EXPECT_FALSE(result.ipv4Tcp);
        EXPECT_EQ(result.bytes.data(), frame.data());
        EXPECT_EQ(result.bytes.size(), frame.size());
    }
}

}  // namespace
}  // namespace korvane
