#include "capture/session_dispatcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <stdexcept>
#include <string>
#include <vector>

#include "capture/byte_reader.h"
#include "capture/player_table.h"
#include "platform/clock.h"
#include "platform/scripted_console.h"
#include "tests/support/stream_world.h"
#include "tools/frame_builder.h"
#include "tools/session_builder.h"

namespace korvane {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kServer = 0x7F000001;
constexpr uint32_t kAddressA = 0x7F000002;
constexpr uint32_t kAddressB = 0x7F000003;
constexpr const char* kKeyA = "127.0.0.2";
constexpr const char* kKeyB = "127.0.0.3";

void PutU16(Bytes& bytes, size_t at, uint16_t value) {
    bytes[at] = static_cast<uint8_t>(value);
    bytes[at + 1] = static_cast<uint8_t>(value >> 8);
}

Bytes Slice(const Bytes& bytes, size_t from, size_t to) {
    return Bytes(bytes.begin() + static_cast<long>(from), bytes.begin() + static_cast<long>(to));
}

// A creation message whose name area is `nameBytes` as given, terminator or not.
Bytes RawCreation(uint32_t id, const Bytes& nameBytes) {
    Bytes extra(tools::kCreationNameOffset - tools::kSystemHeaderLength, 0);
    extra.insert(extra.end(), nameBytes.begin(), nameBytes.end());
    return tools::BuildSystemMessage(tools::kCommandCreatePlayer, id, 0, 0, extra);
}

// Frames go through the connection's stream, as the program takes them, each one's sequence
// number where its connection's stream goes on; whole messages reach the dispatcher.
class SessionDispatcherTest : public ::testing::Test {
  protected:
    struct Seen {
        PlayerRecord* record;
        const uint8_t* data;
        Bytes message;
    };

    // The next segment of the connection of `source` (port 40000, or `port`).
    Bytes Frame(Bytes payload, uint32_t source = kAddressA, uint16_t port = 40000) {
        tools::FrameSpec layout;
        layout.source = {source, port};
        layout.destination = {kServer, 2300};
        layout.payload = std::move(payload);
        return flows_.Build(layout);
    }
    // A segment `offset` bytes into the connection's stream from where it goes on, which does
    // not move on.
    Bytes FrameAhead(Bytes payload, size_t offset, uint32_t source = kAddressA) {
        tools::FrameSpec layout;
        layout.source = {source, 40000};
        layout.destination = {kServer, 2300};
        layout.payload = std::move(payload);
        layout.sequence =
            flows_.Next(layout.source, layout.destination) + static_cast<uint32_t>(offset);
        return tools::BuildFrame(layout);
    }
    // `payload` sent again in place of the connection's last bytes.
    Bytes FrameAgain(Bytes payload) { return FrameAhead(payload, 0 - payload.size()); }
    // A piece of `frameLength` captured bytes from `source` whose payload starts with the size
    // word `size` and the token; the other payload bytes count up from `seed`.
    Bytes PieceFrame(size_t frameLength, uint16_t size, uint8_t seed, uint32_t source = kAddressA) {
        Bytes payload(frameLength - tools::kPlainHeadersLength);
        for (size_t i = 0; i < payload.size(); ++i) {
            payload[i] = static_cast<uint8_t>(seed + i);
        }
        PutU16(payload, 0, size);
        PutU16(payload, 2, tools::kSessionToken);
        return Frame(payload, source);
    }

    void Dispatch(const Bytes& frame) { world_.Take(frame); }
    void RecordGameMessages() {
        dispatcher_.SetGameMessageHandler([this](PlayerRecord& record, std::span<const uint8_t> m) {
            seen_.push_back({&record, m.data(), Bytes(m.begin(), m.end())});
        });
    }
    // Whether the record of `key` is idle: no part of a message held.
    bool Idle(const char* key) {
        const PlayerRecord* record = players_.Find(key);
        return record != nullptr && !record->fragmentPending && !record->stream.HoldsPart();
    }

    testing::StreamWorld world_;
    PlayerTable& players_ = world_.players;
    ScriptedConsole& console_ = world_.console;
    SessionDispatcher& dispatcher_ = world_.dispatcher;
    tools::FlowNumbering flows_;
    std::vector<Seen> seen_;
};

TEST_F(SessionDispatcherTest, SizeWordDecidesBetweenWholeMessageAndPiece) {
    RecordGameMessages();
    Bytes message = tools::BuildGameMessage(0x31, 1, 4, Bytes(17, 0xAA));
    const Bytes whole = Frame(message);
    ASSERT_EQ(whole.size(), 100u);
    Dispatch(whole);
    EXPECT_EQ(seen_.size(), 1u);
    EXPECT_TRUE(Idle(kKeyA));

    PutU16(message, 0, 47);
    Dispatch(Frame(message));
    EXPECT_EQ(seen_.size(), 1u);
    PlayerRecord* record = players_.Find(kKeyA);
    EXPECT_TRUE(record->fragmentPending);
    EXPECT_EQ(record->stream.HeldBytes() > 0, true);
    Dispatch(Frame({0x77}));  // the message's last byte
    ASSERT_EQ(seen_.size(), 2u);
    EXPECT_EQ(seen_[1].message.size(), 47u);
    EXPECT_TRUE(Idle(kKeyA));

    // The size word is signed: a negative size begins no message, and the stream waits for a
    // segment that begins one.
    PutU16(message, 0, 0x8000);
    Dispatch(Frame(message, kAddressB));
    EXPECT_EQ(seen_.size(), 2u);
    EXPECT_EQ(players_.Find(kKeyB)->stream.state(), TcpStream::State::unanchored);
}

TEST_F(SessionDispatcherTest, CreationNeedsNinetySixBytesAndUpdatesTheRecord) {
    Dispatch(
        Frame(tools::BuildSystemMessage(tools::kCommandCreatePlayer, 0x1234, 0, 0, Bytes(59))));
    // The connection has its record from its first frame on, but the message names nobody.
    ASSERT_EQ(players_.records().count(), 1u);
    EXPECT_EQ(players_.Find(kKeyA)->playerId, 0u);
    EXPECT_EQ(console_.output(), "");

    Dispatch(Frame(tools::BuildGameMessage(0x22, 5, 0)));
    ASSERT_EQ(players_.Find(kKeyA)->playerId, 0x22u);
    Dispatch(Frame(RawCreation(0x00c0ffee, {})));  // 96 bytes, an empty name
    EXPECT_EQ(console_.output(), "00c0ffee User connected\n");
    ASSERT_EQ(players_.records().count(), 1u);
    const PlayerRecord* record = players_.Find(kKeyA);
    EXPECT_EQ(record->playerId, 0x00c0ffeeu);
    EXPECT_EQ(record->name.view(), "");
    EXPECT_EQ(record->nameWide.view(), u"");
}

TEST_F(SessionDispatcherTest, CreationStoresWideAndNarrowNames) {
    struct Case {
        std::u16string sent;
        std::u16string wide;
        std::string narrow;
    };
    const std::u16string longName(70, u'W');
    const Case cases[] = {
        {u"Kestr\u00e9l", u"Kestr\u00e9l", "Kestr\xe9l"},
        {u"Ab\u0100cd", u"Ab\u0100cd", "Ab"},  // a zero low byte ends the narrow copy
        {u"\u0141ukasz", u"\u0141ukasz", "Aukasz"},
        {u"a\u0001b\u001fc\u007fd", u"a?b?c?d", "a?b?c?d"},
        {u"x\u0101y", u"x\u0101y", "x?y"},  // only the low byte is a control character
        {longName, longName.substr(0, 63), std::string(63, 'W')},
        {longName.substr(0, 63), longName.substr(0, 63), std::string(63, 'W')},
    };
    uint32_t id = 0x100;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.narrow);
        Dispatch(Frame(tools::BuildCreationMessage(++id, std::u16string_view(c.sent))));
        const PlayerRecord* record = players_.Find(kKeyA);
        EXPECT_EQ(record->playerId, id);
        EXPECT_EQ(record->nameWide.view(), c.wide);
        EXPECT_EQ(record->name.view(), c.narrow);
    }
}

TEST_F(SessionDispatcherTest, UnterminatedNameRunsToTheEndOfTheMessage) {
    // "Zed" without a zero unit, then one stray byte that makes no whole unit.
    Dispatch(Frame(RawCreation(0x77, {'Z', 0, 'e', 0, 'd', 0, 'Q'})));
    const PlayerRecord* record = players_.Find(kKeyA);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->name.view(), "Zed");
    EXPECT_EQ(record->nameWide.view(), u"Zed");
}

TEST_F(SessionDispatcherTest, DeletionMarksTheRecordInactive) {
    Dispatch(Frame(tools::BuildDeletionMessage(0x55)));
    const PlayerRecord* stranger = players_.Find(kKeyA);
    ASSERT_NE(stranger, nullptr);
    EXPECT_EQ(stranger->playerId, 0u);
    EXPECT_FALSE(stranger->active);
    EXPECT_EQ(console_.output(), "");

    Dispatch(
        Frame(tools::BuildCreationMessage(0x00abcdef, std::string_view("Kestrel")), kAddressB));
    players_.Find(kKeyB)->infoText.Set("Mad Cat");
    console_.ClearOutput();
    // The id in the message is not compared with the record's.
    Dispatch(Frame(tools::BuildDeletionMessage(0x999), kAddressB));
    EXPECT_EQ(console_.output(), "00abcdef User Kestrel (Mad Cat) disconnected\n");
    EXPECT_FALSE(players_.Find(kKeyB)->active);
}

TEST_F(SessionDispatcherTest, GameMessagesReachTheHandlerOnlyWhenAddressedToTheHost) {
    RecordGameMessages();
    for (uint32_t receiver : {1u, 0x00010001u, 7u}) {
        Dispatch(Frame(tools::BuildGameMessage(1, receiver, 4)));
    }
    ASSERT_EQ(players_.records().count(), 1u);
    EXPECT_EQ(players_.Find(kKeyA)->playerId, 0u);  // the host's messages name nobody
    EXPECT_TRUE(seen_.empty());

    Dispatch(Frame(tools::BuildGameMessage(0x44, 0x00010002, 4)));
    ASSERT_NE(players_.Find(kKeyA), nullptr);
    EXPECT_EQ(players_.Find(kKeyA)->playerId, 0x44u);
    EXPECT_TRUE(seen_.empty());

    const Bytes message = tools::BuildGameMessage(0x44, 0x00020001, 9, Bytes{1, 2, 3});
    const Bytes frame = Frame(message);
    Dispatch(frame);
    ASSERT_EQ(seen_.size(), 1u);
    EXPECT_EQ(seen_[0].record, players_.Find(kKeyA));
    EXPECT_EQ(seen_[0].record->playerId, 0x44u);
    EXPECT_EQ(seen_[0].data, frame.data() + tools::kPlainHeadersLength);
    EXPECT_EQ(seen_[0].message, message);
}

TEST_F(SessionDispatcherTest, HandlerFailuresDoNotEscape) {
    int calls = 0;
    dispatcher_.SetGameMessageHandler([&](PlayerRecord&, std::span<const uint8_t> message) {
        ++calls;
        if (message[28] == 1) {
            throw std::runtime_error("bad message");
        }
        (void)ByteReader(message).U32(message.size());
    });
    EXPECT_NO_THROW(Dispatch(Frame(tools::BuildGameMessage(0x45, 1, 1))));
    EXPECT_NO_THROW(Dispatch(Frame(tools::BuildGameMessage(0x45, 1, 2))));
    EXPECT_EQ(calls, 2);
}

TEST_F(SessionDispatcherTest, WrongTokenIsIgnored) {
    RecordGameMessages();
    Bytes message = tools::BuildGameMessage(0x45, 1, 4);
    PutU16(message, 2, 0xFAB1);
    Dispatch(Frame(message));
    EXPECT_EQ(players_.Find(kKeyA)->playerId, 0u);
    EXPECT_TRUE(seen_.empty());

    PutU16(message, 0, 500);  // no message begins without the token
    Dispatch(Frame(message));
    EXPECT_TRUE(seen_.empty());
    Dispatch(PieceFrame(100, 500, 0));
    EXPECT_TRUE(players_.Find(kKeyA)->fragmentPending);
    EXPECT_EQ(players_.Find(kKeyA)->stream.HeldBytes(), 500u);  // the piece, nothing before it
}

TEST_F(SessionDispatcherTest, MessageSplitOverTwoFramesIsHandledOnce) {
    const Bytes message = tools::BuildCreationMessage(0x4242, std::string_view("Split Name"));
    const Bytes head = Frame(Slice(message, 0, 40));
    const Bytes tail = Frame(Slice(message, 40, message.size()));
    Dispatch(head);
    EXPECT_TRUE(players_.Find(kKeyA)->fragmentPending);
    EXPECT_EQ(console_.output(), "");
    Dispatch(tail);
    EXPECT_EQ(console_.output(), "00004242 User connected\n");
    EXPECT_EQ(players_.Find(kKeyA)->name.view(), "Split Name");
    EXPECT_TRUE(Idle(kKeyA));
}

TEST_F(SessionDispatcherTest, LaterPieceMayBeTheStart) {
    RecordGameMessages();
    // The tail's own first words look like a header with the token but the wrong size.
    Bytes content(40, 0x5A);
    PutU16(content, 40 - 29, 0x0102);
    PutU16(content, 42 - 29, tools::kSessionToken);
    const Bytes message = tools::BuildGameMessage(0x61, 1, 3, content);
    Dispatch(FrameAhead(Slice(message, 40, message.size()), 40));
    ASSERT_TRUE(players_.Find(kKeyA)->fragmentPending);
    Dispatch(Frame(Slice(message, 0, 40)));
    ASSERT_EQ(seen_.size(), 1u);
    EXPECT_EQ(seen_[0].message, message);
    EXPECT_EQ(seen_[0].record->playerId, 0x61u);
    EXPECT_TRUE(Idle(kKeyA));
}

TEST_F(SessionDispatcherTest, HeldPieceSurvivesWholeMessages) {
    RecordGameMessages();
    // Two players behind one address: a piece held on one connection survives the other's
    // whole messages.
    const Bytes message = tools::BuildGameMessage(0x61, 1, 3, Bytes(60, 0x11));
    Dispatch(Frame(Slice(message, 0, 50)));
    Dispatch(Frame(tools::BuildGameMessage(0x62, 1, 8), kAddressA, 40001));
    ASSERT_EQ(seen_.size(), 1u);
    EXPECT_EQ(seen_[0].record, players_.Find("127.0.0.2:40001"));
    EXPECT_TRUE(players_.Find("127.0.0.2:40000")->fragmentPending);
    Dispatch(Frame(Slice(message, 50, message.size())));
    ASSERT_EQ(seen_.size(), 2u);
    EXPECT_EQ(seen_[1].message, message);
    EXPECT_EQ(seen_[1].record, players_.Find("127.0.0.2:40000"));
    EXPECT_EQ(seen_[1].record->playerId, 0x61u);
    EXPECT_EQ(seen_[0].record->playerId, 0x62u);
}

TEST_F(SessionDispatcherTest, PiecesAreHeldUntilTheirMessageIsWhole) {
    // Pieces whose lengths do not add up to the size word wait for the rest of the message.
    RecordGameMessages();
    Dispatch(PieceFrame(94, 500, 0));
    Dispatch(PieceFrame(84, 7, 0));
    EXPECT_TRUE(players_.Find(kKeyA)->fragmentPending);
    EXPECT_TRUE(seen_.empty());
    // A message larger than any two frames of 1,500 bytes is joined as well.
    const Bytes large = tools::BuildGameMessage(0x45, 1, 3, Bytes(1592 - 29, 0x33));
    Dispatch(Frame(Slice(large, 0, 946), kAddressB));
    Dispatch(Frame(Slice(large, 946, large.size()), kAddressB));
    ASSERT_EQ(seen_.size(), 1u);
    EXPECT_EQ(seen_[0].message, large);
    EXPECT_TRUE(Idle(kKeyB));
}

TEST_F(SessionDispatcherTest, LargestMessageIsJoinedFromManySegments) {
    RecordGameMessages();
    Bytes message = tools::BuildGameMessage(0x45, 1, 4, Bytes(0x7FFF - 29, 0x5C));
    ASSERT_EQ(message.size(), 0x7FFFu);
    for (size_t at = 0; at < message.size(); at += 536) {
        Dispatch(Frame(Slice(message, at, std::min(message.size(), at + 536))));
    }
    ASSERT_EQ(seen_.size(), 1u);
    EXPECT_EQ(seen_[0].message, message);
    EXPECT_TRUE(Idle(kKeyA));
}

TEST_F(SessionDispatcherTest, PiecesFromDifferentAddressesDoNotMix) {
    const Bytes first = tools::BuildCreationMessage(0xA1, std::string_view("Alpha"));
    const Bytes second = tools::BuildCreationMessage(0xB2, std::string_view("Bravo Two"));
    Dispatch(Frame(Slice(first, 0, 60), kAddressA));
    Dispatch(Frame(Slice(second, 0, 30), kAddressB));
    Dispatch(Frame(Slice(second, 30, second.size()), kAddressB));
    Dispatch(Frame(Slice(first, 60, first.size()), kAddressA));
    EXPECT_EQ(console_.output(), "000000b2 User connected\n000000a1 User connected\n");
    EXPECT_EQ(players_.Find(kKeyA)->name.view(), "Alpha");
    EXPECT_EQ(players_.Find(kKeyB)->name.view(), "Bravo Two");
    const Bytes third = tools::BuildCreationMessage(0xC3, std::string_view("Cy"));
    Dispatch(Frame(Slice(third, 0, 20), kAddressB));
    Dispatch(Frame(Slice(third, 20, third.size()), kAddressB));
    EXPECT_EQ(players_.Find(kKeyB)->name.view(), "Cy");
    EXPECT_TRUE(Idle(kKeyB));
}

TEST_F(SessionDispatcherTest, ShortMessagesThrowTruncatedData) {
    PlayerRecord& record = players_.GetPlayer(std::array<uint8_t, 4>{127, 0, 0, 2});
    Bytes tiny(10, 0);
    PutU16(tiny, 0, 10);
    PutU16(tiny, 2, tools::kSessionToken);
    EXPECT_THROW(dispatcher_.DispatchMessage(record, tiny), TruncatedData);

    Bytes play = Slice(tools::BuildDeletionMessage(3), 0, 24);  // "play" but no command
    PutU16(play, 0, 24);
    EXPECT_THROW(dispatcher_.DispatchMessage(record, play), TruncatedData);
    // Taken from a stream, such a message is dropped and the stream goes on.
    EXPECT_NO_THROW(Dispatch(Frame(play)));
    Dispatch(Frame(tools::BuildDeletionMessage(3)));
    EXPECT_FALSE(players_.Find(kKeyA)->active);
}

TEST_F(SessionDispatcherTest, CutGameMessageStillFindsTheSender) {
    Bytes cut = Slice(tools::BuildGameMessage(0x45, 1, 4), 0, 24);  // sender, no receiver
    PutU16(cut, 0, 24);
    PlayerRecord& record = players_.GetPlayer(std::array<uint8_t, 4>{127, 0, 0, 2});
    EXPECT_THROW(dispatcher_.DispatchMessage(record, cut), TruncatedData);
    EXPECT_EQ(record.playerId, 0x45u);
}

TEST_F(SessionDispatcherTest, DifferingCopyIsWarnedOfOncePerConnection) {
    RecordGameMessages();
    const Bytes message = tools::BuildGameMessage(0x61, 1, 3, Bytes(60, 0x11));
    const Bytes other = tools::BuildGameMessage(0x61, 1, 3, Bytes(60, 0x22));
    Dispatch(Frame(Slice(message, 0, 50)));
    Dispatch(FrameAgain(Slice(message, 0, 50)));  // the same bytes: no warning
    EXPECT_EQ(console_.output(), "");
    Dispatch(FrameAgain(Slice(other, 0, 50)));
    Dispatch(FrameAgain(Slice(other, 0, 50)));
    EXPECT_EQ(console_.output(),
              "Tue Feb 10 14:49:49: Warning: 127.0.0.2:40000 sent bytes again that differ from the "
              "first copy; the first copy stands, as the server reads it\n");
    Dispatch(Frame(Slice(message, 50, message.size())));
    ASSERT_EQ(seen_.size(), 1u);
    EXPECT_EQ(seen_[0].message, message);
}

TEST_F(SessionDispatcherTest, JoinedMessageBeginsWithTheStartPiece) {
    // The start piece, with the message's size word, comes first or last; either way the
    // message is its payload followed by the other piece's.
    for (bool reversed : {false, true}) {
        SCOPED_TRACE(reversed);
        RecordGameMessages();
        const uint32_t address = reversed ? kAddressB : kAddressA;
        // Each its own player: an id belongs to one connection.
        Bytes message =
            tools::BuildGameMessage(reversed ? 0x52 : 0x51, 1, 3, Bytes(1092 - 29, 0x2B));
        PutU16(message, 946, 0x0707);  // where the second piece begins, no header
        const Bytes start = Slice(message, 0, 946);
        const Bytes rest = Slice(message, 946, message.size());
        if (reversed) {
            Dispatch(FrameAhead(rest, 946, address));
            Dispatch(Frame(start, address));
        } else {
            Dispatch(Frame(start, address));
            Dispatch(Frame(rest, address));
        }
        ASSERT_EQ(seen_.size(), 1u);
        EXPECT_EQ(seen_[0].message, message);
        seen_.clear();
    }
}

}  // namespace
}  // namespace korvane
