#include "tools/session_decoder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/session_builder.h"

namespace korvane::tools {
namespace {

using ::testing::ElementsAre;

std::vector<std::string> Lines(const std::vector<SessionStreamDecoder::Entry>& entries) {
    std::vector<std::string> lines;
    for (const auto& entry : entries) {
        lines.push_back(entry.line);
    }
    return lines;
}

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

TEST(DescribeMessage, Chat) {
    auto message = BuildChatMessage(0x102, 1, 0, ProgramChatText("hi"));
    EXPECT_EQ(DescribeMessage(message),
              "chat 00000102 -> 00000001 [0]: (2.1 (beta.1) Feb 10 2004 14:49:49 ) hi");
    EXPECT_EQ(DescribeMessage(BuildChatMessage(1, 0xABCDEF12, 7, "Welcome")),
              "chat 00000001 -> abcdef12 [7]: Welcome");
}

TEST(DescribeMessage, ChatTextStopsAtItsZeroAndShowsControlsAsQuestionMarks) {
    auto message = BuildChatMessage(2, 1, 0, std::string("a\tb\x1b[2J\x7f\xe9", 9));
    EXPECT_EQ(DescribeMessage(message), "chat 00000002 -> 00000001 [0]: a?b?[2J??");
    auto stuffed = BuildChatMessage(2, 1, 0, std::string("visible\0hidden", 14));
    EXPECT_EQ(DescribeMessage(stuffed), "chat 00000002 -> 00000001 [0]: visible");
    // Without a terminator the text ends with the message.
    auto unterminated = BuildChatMessage(2, 1, 0, "abc");
    unterminated.pop_back();
    unterminated[0] = static_cast<uint8_t>(unterminated.size());
    EXPECT_EQ(DescribeMessage(unterminated), "chat 00000002 -> 00000001 [0]: abc");
}

TEST(DescribeMessage, DeletionAndCreation) {
    EXPECT_EQ(DescribeMessage(BuildDeletionMessage(0x100)), "delete player 00000100");
    EXPECT_EQ(DescribeMessage(BuildCreationMessage(0x2A, std::string_view("Bob"))),
              "create player 0000002a \"Bob\"");
    // The narrow name keeps low bytes and ends at the first unit whose low byte is 0.
    EXPECT_EQ(DescribeMessage(BuildCreationMessage(3, std::u16string_view(u"Ab\u0100cd"))),
              "create player 00000003 \"Ab\"");
    EXPECT_EQ(DescribeMessage(BuildCreationMessage(3, std::u16string_view(u"A\u0141\n"))),
              "create player 00000003 \"AA?\"");
}

TEST(DescribeMessage, OtherMessagesAreDumped) {
    auto connect = BuildConnectMessage();
    EXPECT_EQ(DescribeMessage(connect),
              "message size=36 token=fab0: 24 00 b0 fa 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
              "00 00 70 6c 61 79 01 00 00 00 00 00 00 00 00 00 00 00");
    // At most 48 bytes are shown.
    auto game = BuildGameMessage(0x102, 0x203, 7, std::vector<uint8_t>(40, 0xAB));
    std::string line = DescribeMessage(game);
    EXPECT_EQ(line.substr(0, 28), "message size=69 token=fab0: ");
    EXPECT_EQ(line.size(), 27u + 48u * 3u + 4u);
    EXPECT_TRUE(line.ends_with(" ab ab ab ..."));
    // A creation message too short to hold a name, and a short chat, are not taken as such.
    auto shortCreation = BuildSystemMessage(kCommandCreatePlayer, 5);
    EXPECT_TRUE(DescribeMessage(shortCreation).starts_with("message size=36 token=fab0: "));
    auto shortChat = BuildGameMessage(2, 1, kGameTypeChat, std::vector<uint8_t>(5, 0));
    EXPECT_TRUE(DescribeMessage(shortChat).starts_with("message size=34 token=fab0: "));
}

TEST(SessionStreamDecoder, SplitsAStreamByTheSizeWord) {
    auto chat = BuildChatMessage(0x102, 1, 0, "hi");
    auto deletion = BuildDeletionMessage(0x100);
    SessionStreamDecoder decoder;
    EXPECT_THAT(Lines(decoder.Feed(Concat({chat, deletion}))),
                ElementsAre("chat 00000102 -> 00000001 [0]: hi", "delete player 00000100"));
    EXPECT_EQ(decoder.buffered(), 0u);
}

TEST(SessionStreamDecoder, MessagesArrivingInAnyChunksGiveTheSameLines) {
    auto stream = Concat({BuildChatMessage(0x102, 1, 0, "first"), BuildDeletionMessage(0x100),
                          BuildCreationMessage(9, std::string_view("Nine"))});
    const std::vector<std::string> expected = {"chat 00000102 -> 00000001 [0]: first",
                                               "delete player 00000100",
                                               "create player 00000009 \"Nine\""};
    for (size_t chunk : {1u, 2u, 3u, 5u, 7u, 39u, 64u}) {
        SessionStreamDecoder decoder;
        std::vector<std::string> lines;
        for (size_t at = 0; at < stream.size(); at += chunk) {
            size_t length = std::min(chunk, stream.size() - at);
            auto got = Lines(decoder.Feed(std::span(stream).subspan(at, length)));
            lines.insert(lines.end(), got.begin(), got.end());
        }
        EXPECT_EQ(lines, expected) << "chunks of " << chunk;
        EXPECT_EQ(decoder.buffered(), 0u);
    }
}

TEST(SessionStreamDecoder, WaitsForTheWholeMessage) {
    auto chat = BuildChatMessage(0x102, 1, 0, "hello");
    SessionStreamDecoder decoder;
    EXPECT_TRUE(decoder.Feed(std::span(chat).first(3)).empty());
    EXPECT_TRUE(decoder.Feed(std::span(chat).subspan(3, chat.size() - 4)).empty());
    EXPECT_EQ(decoder.buffered(), chat.size() - 1);
    auto entries = decoder.Feed(std::span(chat).last(1));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_TRUE(entries[0].wholeMessage);
}

TEST(SessionStreamDecoder, WrongTokenDiscardsTheBufferedBytes) {
    auto chat = BuildChatMessage(0x102, 1, 0, "hi");
    auto bad = chat;
    bad[2] = 0xB1;
    SessionStreamDecoder decoder;
    // The bad message arrives together with a good one behind it: both are discarded.
    auto entries = decoder.Feed(Concat({bad, chat}));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].line, "bad message header (size=39 token=fab1)");
    EXPECT_FALSE(entries[0].wholeMessage);
    EXPECT_EQ(decoder.buffered(), 0u);
    // Decoding starts afresh with what arrives next.
    EXPECT_THAT(Lines(decoder.Feed(chat)), ElementsAre("chat 00000102 -> 00000001 [0]: hi"));
}

TEST(SessionStreamDecoder, SizeBelowFourIsOutOfStep) {
    SessionStreamDecoder decoder;
    const std::vector<uint8_t> tiny = {3, 0, 0xB0, 0xFA, 1, 2, 3};
    EXPECT_THAT(Lines(decoder.Feed(tiny)), ElementsAre("bad message header (size=3 token=fab0)"));
    EXPECT_EQ(decoder.buffered(), 0u);
    // A size word with the top bit set reads as negative, as the program reads it.
    const std::vector<uint8_t> negative = {0x00, 0x80, 0xB0, 0xFA};
    EXPECT_THAT(Lines(decoder.Feed(negative)),
                ElementsAre("bad message header (size=-32768 token=fab0)"));
    // A size of exactly 4 is a (degenerate) whole message.
    const std::vector<uint8_t> four = {4, 0, 0xB0, 0xFA};
    EXPECT_THAT(Lines(decoder.Feed(four)), ElementsAre("message size=4 token=fab0: 04 00 b0 fa"));
}

TEST(SessionStreamDecoder, BadHeaderAfterAGoodMessage) {
    auto chat = BuildChatMessage(0x102, 1, 0, "ok");
    auto stream = Concat({chat, {0x02, 0x00, 0xB0, 0xFA, 0x99}});
    SessionStreamDecoder decoder;
    auto entries = decoder.Feed(stream);
    EXPECT_THAT(Lines(entries), ElementsAre("chat 00000102 -> 00000001 [0]: ok",
                                            "bad message header (size=2 token=fab0)"));
    EXPECT_TRUE(entries[0].wholeMessage);
    EXPECT_EQ(decoder.buffered(), 0u);
}

TEST(PrintableText, ReplacesEverythingOutsidePrintableAscii) {
    const std::vector<uint8_t> text = {'A', 0x00, 0x1F, ' ', '~', 0x7F, 0x80, 0xFF};
    EXPECT_EQ(PrintableText(text), "A?? ~???");
}

}  // namespace
}  // namespace korvane::tools
