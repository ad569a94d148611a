#include "capture/tcp_stream.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/session_builder.h"

namespace korvane {
namespace {

using Bytes = std::vector<uint8_t>;

// The messages of the cases: the server reads them in this order.
const Bytes kFirst = tools::BuildGameMessage(0x21, 1, 4, Bytes(40, 0xA1));
const Bytes kSecond = tools::BuildGameMessage(0x21, 1, 5, Bytes(300, 0xB2));
const Bytes kThird = tools::BuildGameMessage(0x21, 1, 6, Bytes(20, 0xC3));

// The three messages as one stream of bytes.
Bytes Stream() {
    Bytes bytes = kFirst;
    bytes.insert(bytes.end(), kSecond.begin(), kSecond.end());
    bytes.insert(bytes.end(), kThird.begin(), kThird.end());
    return bytes;
}

// One segment of a case: bytes [from, to) of the stream (or `other` bytes of that length), at a
// sequence number `base` + from, at `millis`.
struct Piece {
    size_t from = 0;
    size_t to = 0;
    int64_t millis = 0;
    bool other = false;  // the bytes inverted: another copy of the same range
    bool syn = false;    // a SYN just before the stream, not a piece of it
    bool fin = false;
    bool rst = false;
};

struct Sink : TcpStream::Sink {
    void Message(std::span<const uint8_t> message) override {
        messages.emplace_back(message.begin(), message.end());
    }
    std::vector<Bytes> messages;
};

// Takes the pieces in order; what the stream handed on, and whether any segment found a
// differing copy.
struct Outcome {
    std::vector<Bytes> messages;
    bool differingCopy = false;
    TcpStream::State state = TcpStream::State::unanchored;
    bool holds = false;
};

Outcome TakeAll(const std::vector<Piece>& pieces, uint32_t base, TcpStream::Limits limits = {}) {
    const Bytes stream = Stream();
    TcpStream tcp;
    Sink sink;
    Outcome outcome;
    for (const Piece& piece : pieces) {
        TcpSegment segment;
        Bytes bytes;
        if (piece.syn) {
            segment.sequence = base - 1;
            segment.syn = true;
        } else {
            bytes.assign(stream.begin() + static_cast<long>(piece.from),
                         stream.begin() + static_cast<long>(piece.to));
            if (piece.other) {
                for (uint8_t& b : bytes) {
                    b = static_cast<uint8_t>(~b);
                }
            }
            segment.sequence = base + static_cast<uint32_t>(piece.from);
        }
        segment.payload = bytes;
        segment.fin = piece.fin;
        segment.rst = piece.rst;
        segment.millis = piece.millis;
        outcome.differingCopy |= tcp.Take(segment, limits, sink).differingCopy;
    }
    outcome.messages = sink.messages;
    outcome.state = tcp.state();
    outcome.holds = tcp.HoldsPart();
    return outcome;
}

// The stream is 29 + 40 = 69, then 329, then 49 bytes: messages end at 69, 398 and 447.
constexpr size_t kEnd1 = 69;
constexpr size_t kEnd2 = 398;
constexpr size_t kEnd = 447;

struct Case {
    std::string name;
    std::vector<Piece> pieces;
    std::vector<Bytes> read;  // what the server's TCP hands the game
    bool differingCopy = false;
};

TEST(TcpStream, HandsOnWhatTheServerReads) {
    const Bytes none;
    const Case cases[] = {
        {"one message per segment",
         {{0, kEnd1}, {kEnd1, kEnd2}, {kEnd2, kEnd}},
         {kFirst, kSecond, kThird}},
        {"all in one segment (Nagle)", {{0, kEnd}}, {kFirst, kSecond, kThird}},
        {"end of one and start of the next", {{0, 100}, {100, kEnd}}, {kFirst, kSecond, kThird}},
        {"a message over many segments",
         {{0, kEnd1}, {kEnd1, 150}, {150, 250}, {250, 300}, {300, kEnd2}},
         {kFirst, kSecond}},
        {"a size word cut in two", {{0, kEnd1 + 1}, {kEnd1 + 1, kEnd2}}, {kFirst, kSecond}},
        {"split pair, the later piece first", {{200, kEnd2}, {kEnd1, 200}}, {kSecond}},
        {"a message in three segments out of order",
         {{0, kEnd1}, {250, kEnd2}, {kEnd1, 150}, {150, 250}},
         {kFirst, kSecond}},
        {"after a handshake, out of order from the first byte",
         {{0, 0, 0, false, true}, {kEnd1, kEnd2}, {0, kEnd1}},
         {kFirst, kSecond}},
        {"retransmitted before the second half came",
         {{0, kEnd1}, {kEnd1, 200}, {kEnd1, 200}, {200, kEnd2}},
         {kFirst, kSecond}},
        {"retransmitted with other bytes: the first copy stands",
         {{0, kEnd1}, {kEnd1, 200}, {kEnd1, 200, 0, true}, {200, kEnd2}},
         {kFirst, kSecond},
         true},
        {"an out-of-order copy overlapping a held one",
         {{0, 100}, {200, 300}, {250, 300, 0, true}, {100, 200}, {300, kEnd2}},
         {kFirst, kSecond},
         true},
        {"a whole message sent again is read once",
         {{0, kEnd1}, {0, kEnd1}, {kEnd1, kEnd2}},
         {kFirst, kSecond}},
        {"a lost frame: the gap is given up, the stream picks up at the next header",
         {{0, kEnd1}, {kEnd1, 200}, {kEnd2, kEnd, 100}, {kEnd2, kEnd, 2200}},
         {kFirst, kThird}},
        {"a gap not yet given up holds what follows",
         {{0, kEnd1}, {kEnd2, kEnd, 0}, {kEnd2, kEnd, 1900}},
         {kFirst}},
        {"found in the middle of a message", {{100, kEnd2}, {kEnd2, kEnd}}, {kThird}},
        {"found in the middle of a message, one segment", {{100, kEnd}}, {}},
        {"a FIN with data", {{0, kEnd1}, {kEnd1, kEnd2, 0, false, false, true}}, {kFirst, kSecond}},
        {"nothing after an RST",
         {{0, kEnd1}, {kEnd1, 200, 0, false, false, false, true}, {200, kEnd2}},
         {kFirst}},
    };
    for (uint32_t base : {0x10000000u, 0xFFFFFF00u}) {  // the second wraps past 2^32
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name + " at " + std::to_string(base));
            const Outcome outcome = TakeAll(c.pieces, base);
            EXPECT_EQ(outcome.messages, c.read);
            EXPECT_EQ(outcome.differingCopy, c.differingCopy);
        }
    }
}

TEST(TcpStream, IsReleasedOnceDrainedAfterFinOrAtRst) {
    const Outcome fin =
        TakeAll({{0, 0, 0, false, true}, {kEnd1, kEnd2, 0, false, false, true}, {0, kEnd1}}, 5000);
    EXPECT_EQ(fin.messages, (std::vector<Bytes>{kFirst, kSecond}));
    EXPECT_EQ(fin.state, TcpStream::State::closed);
    EXPECT_FALSE(fin.holds);

    const Outcome rst =
        TakeAll({{0, 100}, {200, 300}, {300, 300, 0, false, false, false, true}}, 5000);
    EXPECT_EQ(rst.state, TcpStream::State::closed);
    EXPECT_FALSE(rst.holds);

    // Before the FIN's sequence number is reached, the stream stays open.
    const Outcome waiting = TakeAll({{0, kEnd1}, {kEnd2, kEnd, 0, false, false, true}}, 5000);
    EXPECT_EQ(waiting.state, TcpStream::State::inStep);
    EXPECT_TRUE(waiting.holds);
}

TEST(TcpStream, OutOfOrderSegmentsAreBounded) {
    TcpStream::Limits limits;
    limits.maxAheadSegments = 2;
    // Three segments beyond a gap pass the bound: the gap is given up at once.
    const Outcome outcome =
        TakeAll({{0, kEnd1}, {kEnd1 + 10, 200}, {200, kEnd2}, {kEnd2, kEnd}}, 7000, limits);
    EXPECT_EQ(outcome.messages, (std::vector<Bytes>{kFirst, kThird}));
    EXPECT_FALSE(outcome.holds);

    limits = {};
    limits.maxAheadBytes = 100;
    const Outcome bytes = TakeAll({{0, kEnd1}, {kEnd1 + 10, 250}, {kEnd2, kEnd}}, 7000, limits);
    EXPECT_EQ(bytes.messages, (std::vector<Bytes>{kFirst, kThird}));
}

TEST(TcpStream, BadHeaderAtABoundaryPutsTheStreamOutOfStep) {
    Bytes broken = Stream();
    broken[kEnd1 + 2] = 0x00;  // the second message's token
    TcpStream tcp;
    Sink sink;
    const TcpStream::Limits limits;
    const auto take = [&](size_t from, size_t to) {
        TcpSegment segment;
        segment.sequence = 100 + static_cast<uint32_t>(from);
        segment.payload = std::span<const uint8_t>(broken).subspan(from, to - from);
        tcp.Take(segment, limits, sink);
    };
    TcpSegment syn;
    syn.sequence = 99;
    syn.syn = true;
    tcp.Take(syn, limits, sink);
    take(0, 200);
    EXPECT_EQ(tcp.state(), TcpStream::State::outOfStep);
    take(200, kEnd2);  // no header at its start: still dropped
    take(kEnd2, kEnd);
    EXPECT_EQ(sink.messages, (std::vector<Bytes>{kFirst, kThird}));
    EXPECT_EQ(tcp.state(), TcpStream::State::inStep);
}

}  // namespace
}  // namespace korvane
