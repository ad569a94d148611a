// What the guard takes of a connection: only what the server's TCP accepted. Handshakes decide
// trust, the receive window bounds where a segment may land, checksums decide whether a frame
// counts at all, and a player id belongs to one connection.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "capture/frame_checksums.h"
#include "tests/support/stream_world.h"
#include "tools/frame_builder.h"
#include "tools/session_builder.h"

namespace korvane {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t kServer = 0x7F000001;
constexpr uint16_t kPort = 2300;
constexpr tools::Endpoint kClient{0x7F000002, 40001};
constexpr uint32_t kClientSequence = 0xFFFFFF00;  // the data crosses the 2^32 wrap
constexpr uint32_t kServerSequence = 0x5000;

Bytes Segment(tools::Endpoint from, tools::Endpoint to, uint8_t flags, uint32_t sequence,
              uint32_t ack, Bytes payload = {}, uint16_t window = 64240) {
    tools::FrameSpec layout;
    layout.source = from;
    layout.destination = to;
    layout.tcpFlags = flags;
    layout.sequence = sequence;
    layout.acknowledgement = ack;
    layout.window = window;
    layout.payload = std::move(payload);
    return tools::BuildFrame(layout);
}

// One client connection to the server, as the program wires the streams.
struct Connection {
    void Client(uint8_t flags, uint32_t sequence, uint32_t ack, Bytes payload = {}) {
        world_.Take(Segment(kClient, {kServer, kPort}, flags, sequence, ack, std::move(payload)));
    }
    void Server(uint8_t flags, uint32_t sequence, uint32_t ack, uint16_t window = 64240) {
        world_.streams.TakeServer(
            Segment({kServer, kPort}, kClient, flags, sequence, ack, {}, window));
    }
    // The client's creation message at `offset` bytes into its stream, acknowledging `ack`.
    void Create(uint32_t offset, uint32_t ack = kServerSequence + 1, uint32_t id = 0x2a) {
        Client(tools::kTcpPsh | tools::kTcpAck, kClientSequence + 1 + offset, ack,
               tools::BuildCreationMessage(id, "Ann"));
    }
    bool Joined() const {
        return world_.console.output().find("User connected") != std::string::npos;
    }
    // Another player's handshake: the capture shows the server's segments.
    void OtherHandshake() {
        const tools::Endpoint other{0x7F000003, 40002};
        world_.Take(Segment(other, {kServer, kPort}, tools::kTcpSyn, 1, 0));
        world_.streams.TakeServer(
            Segment({kServer, kPort}, other, tools::kTcpSyn | tools::kTcpAck, 1, 2));
    }
    void Handshake(uint16_t window = 64240) {
        Client(tools::kTcpSyn, kClientSequence, 0);
        Server(tools::kTcpSyn | tools::kTcpAck, kServerSequence, kClientSequence + 1, window);
    }

    testing::StreamWorld world_;
};

TEST(ConnectionTrust, ConnectionsAreTrustedOnlyAsTheServerOpenedThem) {
    const uint8_t ack = tools::kTcpAck;
    const struct {
        const char* what;
        std::function<void(Connection&)> open;
        bool joined;
    } cases[] = {
        {"handshake completed by the ACK",
         [&](Connection& t) {
             t.Handshake();
             t.Client(ack, kClientSequence + 1, kServerSequence + 1);
             t.Create(0);
         },
         true},
        {"completed by the data's own acknowledgement",
         [](Connection& t) {
             t.Handshake();
             t.Create(0);
         },
         true},
        {"wrong ACK",
         [&](Connection& t) {
             t.Handshake();
             t.Client(ack, kClientSequence + 1, 0x0badc0de);
             t.Create(0, 0x0badc0de);
         },
         false},
        {"no SYN-ACK while the server's segments are seen",
         [](Connection& t) {
             t.OtherHandshake();
             t.Client(tools::kTcpSyn, kClientSequence, 0);
             t.Create(0);
         },
         false},
        {"RST from the server",
         [](Connection& t) {
             t.Handshake();
             t.Server(tools::kTcpRst | tools::kTcpAck, kServerSequence + 1, kClientSequence + 1);
             t.Create(0);
         },
         false},
        {"a capture of one direction",
         [](Connection& t) {
             t.Client(tools::kTcpSyn, kClientSequence, 0);
             t.Create(0);
         },
         true},
        {"found open soon after start-up",
         [](Connection& t) {
             t.OtherHandshake();
             t.Create(0);
         },
         true},
        {"found open late while handshakes are seen",
         [](Connection& t) {
             t.OtherHandshake();
             t.world_.clock.AdvanceMicros((StreamStage::kStartupMillis + 1000) * 1000);
             t.Create(0);
         },
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Connection t;
        c.open(t);
        EXPECT_EQ(t.Joined(), c.joined);
        EXPECT_EQ(t.world_.streams.untrusted(), c.joined ? 0u : 1u);
    }
}

// After a handshake and Ann's creation, a blind sender's segment, then Ann's next message where
// her stream goes on: it is still read, and nothing of the blind one is.
TEST(ConnectionTrust, BlindSegmentsNeitherMoveNorEndAnOpenConnection) {
    const Bytes creation = tools::BuildCreationMessage(0x2a, "Ann");
    const uint32_t next = kClientSequence + 1 + static_cast<uint32_t>(creation.size());
    const uint32_t serverAck = kServerSequence + 1;
    const uint8_t data = tools::kTcpPsh | tools::kTcpAck;
    const Bytes forged = tools::BuildCreationMessage(0x66, "Usurper");
    const struct {
        const char* what;
        uint8_t flags;
        uint32_t sequence;
        Bytes payload;
        bool fromOtherMac = false;
    } cases[] = {
        {"SYN-ACK carrying a message", tools::kTcpSyn | tools::kTcpAck, 0x12345678, forged},
        {"SYN carrying a message", tools::kTcpSyn, 0x12345678, forged},
        {"RST behind the stream", tools::kTcpRst | tools::kTcpAck, next - 1000, {}},
        {"RST beyond the window", tools::kTcpRst | tools::kTcpAck, next + 70000, {}},
        {"FIN of an old copy", tools::kTcpFin | tools::kTcpAck, next - 1000, {}},
        {"server RST from another adapter", tools::kTcpRst | tools::kTcpAck, 1, {}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Connection t;
        std::vector<uint32_t> handled;
        t.world_.dispatcher.SetGameMessageHandler(
            [&](PlayerRecord& record, std::span<const uint8_t>) {
                handled.push_back(record.playerId);
            });
        t.Handshake();
        t.Create(0);
        if (c.fromOtherMac) {
            tools::FrameSpec layout;
            layout.source = {kServer, kPort};
            layout.destination = kClient;
            layout.tcpFlags = c.flags;
            layout.sourceMac = {2, 0, 0xC0, 0, 2, 9};
            t.world_.streams.TakeServer(tools::BuildFrame(layout));
        } else {
            t.Client(c.flags, c.sequence, serverAck, c.payload);
        }
        t.Client(data, next, serverAck, tools::BuildGameMessage(0x2a, 1, 7));
        EXPECT_EQ(handled, std::vector<uint32_t>{0x2a});
        EXPECT_EQ(t.world_.console.output().find("00000066"), std::string::npos);
    }
}

TEST(ConnectionTrust, ACaptureOfOneDirectionIsWarnedOfOnce) {
    Connection t;
    t.Client(tools::kTcpSyn, kClientSequence, 0);
    t.Create(0);
    t.Create(0);
    const std::string& out = t.world_.console.output();
    const std::string warning = "Warning: a client's SYN has no answer in the capture";
    ASSERT_NE(out.find(warning), std::string::npos);
    EXPECT_EQ(out.find(warning, out.find(warning) + 1), std::string::npos);
}

TEST(ConnectionTrust, SegmentsBeyondTheWindowAreDropped) {
    // The SYN-ACK advertises 8,192 bytes, as Windows does before scaling: the window taken is
    // never below 65,535. Data begins at the first byte after the SYN, across the 2^32 wrap.
    const struct {
        uint32_t offset;  // from the next byte
        bool taken;
    } cases[] = {{0, true}, {8192, true}, {65534, true}, {65535, false}, {0x7FFFFFF0u, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.offset);
        Connection t;
        t.Handshake(8192);
        t.Create(c.offset);
        // A segment ahead but in the window is held, waiting for the bytes before it.
        const bool held = t.world_.players.records().Front()->stream.HoldsPart();
        EXPECT_EQ(t.Joined() || held, c.taken);
        EXPECT_EQ(t.world_.streams.outsideWindow(), c.taken ? 0u : 1u);
    }
}

TEST(ConnectionTrust, AnIdBelongsToTheConnectionThatBoundIt) {
    Connection t;
    testing::StreamWorld& world_ = t.world_;
    const tools::Endpoint other{0x7F000003, 40002};
    const tools::Endpoint server{kServer, kPort};
    tools::FlowNumbering flows;
    auto send = [&](tools::Endpoint from, Bytes message) {
        tools::FrameSpec layout;
        layout.source = from;
        layout.destination = server;
        layout.payload = std::move(message);
        world_.Take(flows.Build(layout));
    };
    std::vector<uint32_t> handled;
    world_.dispatcher.SetGameMessageHandler([&](PlayerRecord& record, std::span<const uint8_t>) {
        handled.push_back(record.playerId);
    });
    send(kClient, tools::BuildCreationMessage(0x2a, "Ann"));
    send(other, tools::BuildGameMessage(0x3b, 1, 7));            // binds 3b by its first use
    send(other, tools::BuildGameMessage(0x2a, 1, 7));            // forged: Ann's id
    send(other, tools::BuildCreationMessage(0x2a, "Impostor"));  // claims a bound id
    send(kClient, tools::BuildGameMessage(0x2a, 1, 7));
    EXPECT_EQ(handled, (std::vector<uint32_t>{0x3b, 0x2a}));
    EXPECT_EQ(world_.dispatcher.forgedIds(), 2u);
    // One warning for the connection, naming both ids and the address.
    const std::string& out = world_.console.output();
    EXPECT_NE(out.find("127.0.0.3:40002, bound to player 0000003b, sent a message as player "
                       "0000002a; ignored"),
              std::string::npos);
    EXPECT_EQ(out.find("claimed player"), std::string::npos);
    // Nor can a creation take an id that another connection only used.
    send(kClient, tools::BuildCreationMessage(0x3b, "Ann again"));
    send(other, tools::BuildGameMessage(0x3b, 1, 7));
    EXPECT_EQ(handled, (std::vector<uint32_t>{0x3b, 0x2a, 0x3b}));
    EXPECT_NE(world_.console.output().find("127.0.0.2:40001, bound to player 0000002a, claimed "
                                           "player 0000003b, which 127.0.0.3:40002 holds"),
              std::string::npos);
}

TEST(FrameChecksums, WrongOnesAndTheOffloadFormFromAfarAreRefused) {
    const struct {
        const char* what;
        uint32_t source;
        tools::TcpChecksum form;
        bool holds;
    } cases[] = {
        {"correct", 0xC0000207, tools::TcpChecksum::correct, true},
        {"wrong", 0x7F000002, tools::TcpChecksum::wrong, false},
        {"pseudo header from loopback", 0x7F000002, tools::TcpChecksum::pseudoHeader, true},
        {"pseudo header from the guarded address", 0xC0000201, tools::TcpChecksum::pseudoHeader,
         true},
        {"pseudo header from afar", 0xC0000207, tools::TcpChecksum::pseudoHeader, false},
    };
    for (const auto& c : cases) {
        tools::FrameSpec layout;
        layout.source = {c.source, 40000};
        layout.destination = {0xC0000201, kPort};
        layout.payload = tools::BuildGameMessage(0x2a, 1, 7);
        layout.tcpChecksum = c.form;
        Bytes frame = tools::BuildFrame(layout);
        EXPECT_EQ(ChecksumsHold(frame, 0xC0000201), c.holds) << c.what;
        frame[24] ^= 1;  // the IPv4 header checksum
        EXPECT_FALSE(ChecksumsHold(frame, 0xC0000201)) << c.what;
    }
}

}  // namespace
}  // namespace korvane
