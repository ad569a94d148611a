#include "link/chat_sender.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/link/link_world.h"
#include "tests/support/recorded_events.h"

namespace korvane {
namespace {

using korvane::testing::ChatLine;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

class ChatSenderTest : public ::testing::Test, public korvane::testing::LinkWorld {
  protected:
    ChatSenderTest() { log.SetSink(&events); }

    SocketHandle first_ = link.linkSocket();
    korvane::testing::RecordedEvents events;
};

TEST(ChatMessageLayout, HiFromPlayerToHostIsSeventySixBytes) {
    const std::vector<uint8_t> message =
        BuildChatMessage(0x102, 1, 0, ChatSender::FormatLine("hi", false));
    const std::string text = "(2.1 (beta.1) Feb 10 2004 14:49:49 ) hi";
    ASSERT_EQ(text.size(), 39u);
    std::vector<uint8_t> expected = {0x4C, 0x00, 0xB0, 0xFA};
    expected.resize(20, 0);                                        // address block
    expected.insert(expected.end(), {0x02, 0x01, 0x00, 0x00});     // sender
    expected.insert(expected.end(), {0x01, 0x00, 0x00, 0x00});     // receiver
    expected.insert(expected.end(), {0x1B, 0, 0, 0, 0, 0, 0, 1});  // type 27 ... field 0, 0, 1
    expected.insert(expected.end(), text.begin(), text.end());
    expected.push_back(0);
    EXPECT_EQ(message, expected);
    EXPECT_EQ(message.size(), 76u);
}

TEST(ChatMessageLayout, FieldAndAlertForm) {
    const std::vector<uint8_t> plain =
        BuildChatMessage(1, 0x2A, 7, ChatSender::FormatLine("hi", false));
    EXPECT_EQ(plain[33], 7);
    const std::vector<uint8_t> alert =
        BuildChatMessage(1, 0x2A, 7, ChatSender::FormatLine("hi", true));
    EXPECT_EQ(alert.size(), plain.size() + 7);
    EXPECT_EQ(alert[0], plain[0] + 7);
    const std::string text(alert.begin() + 36, alert.end() - 1);
    EXPECT_EQ(text, "(2.1 (beta.1) Feb 10 2004 14:49:49 ) Alert: hi");
}

TEST(ChatMessageLayout, LongTextsAreCutToTheLineBuffer) {
    const std::string line = ChatSender::FormatLine(std::string(300, 'x'), true);
    EXPECT_EQ(line.size(), 255u);
    EXPECT_TRUE(line.starts_with("(2.1 (beta.1) Feb 10 2004 14:49:49 ) Alert: xxx"));
    const std::vector<uint8_t> message = BuildChatMessage(1, 2, 0, line);
    EXPECT_EQ(message.size(), 292u);
    EXPECT_EQ(message[0] | (message[1] << 8), 292);
    EXPECT_EQ(message.back(), 0);
    // A zero byte ends a text, as it would in the line buffer.
    EXPECT_EQ(ChatSender::FormatLine(std::string("a\0b", 3), false),
              "(2.1 (beta.1) Feb 10 2004 14:49:49 ) a");
}

TEST_F(ChatSenderTest, SendsOneMessageOnTheLink) {
    chat.KorvaneMessage(0x102, 1, 0, "hi", false);
    EXPECT_EQ(sockets.sent[first_].size(), 76u);
    EXPECT_THAT(Received(), ElementsAre(ChatLine(0x102, 1, 0, "hi")));
    EXPECT_THAT(console.output(), IsEmpty());
}

TEST_F(ChatSenderTest, ImmediateRepeatsBetweenTheSameIdsAreSuppressed) {
    chat.KorvaneMessage(0x102, 1, 0, "A", false);
    chat.KorvaneMessage(0x102, 1, 0, "A", false);  // suppressed
    chat.KorvaneMessage(0x102, 1, 0, "B", false);
    chat.KorvaneMessage(0x102, 1, 0, "A", false);
    chat.KorvaneMessage(1, 0x103, 0, "A", false);  // other sender and receiver
    chat.KorvaneMessage(1, 0x104, 0, "A", false);  // other receiver
    chat.KorvaneMessage(1, 0x104, 7, "A", true);   // field and alert play no part
    EXPECT_THAT(Received(), ElementsAre(ChatLine(0x102, 1, 0, "A"), ChatLine(0x102, 1, 0, "B"),
                                        ChatLine(0x102, 1, 0, "A"), ChatLine(1, 0x103, 0, "A"),
                                        ChatLine(1, 0x104, 0, "A")));
}

TEST_F(ChatSenderTest, ForgettingLetsTheSameLineGoAgain) {
    chat.KorvaneMessage(0x102, 1, 0, "A", false);
    chat.ForgetLastMessage();
    chat.KorvaneMessage(0x102, 1, 0, "A", false);
    // An empty line is new after forgetting too: the memory holds nothing, not an empty text.
    chat.KorvaneMessage(0x102, 1, 0, "", false);
    chat.ForgetLastMessage();
    chat.KorvaneMessage(0x102, 1, 0, "", false);
    chat.KorvaneMessage(0x102, 1, 0, "", false);  // remembered again: suppressed
    EXPECT_THAT(Received(), ElementsAre(ChatLine(0x102, 1, 0, "A"), ChatLine(0x102, 1, 0, "A"),
                                        ChatLine(0x102, 1, 0, ""), ChatLine(0x102, 1, 0, "")));
}

TEST_F(ChatSenderTest, TestAndSilentModesSendNothingAndLeaveTheMemoryAlone) {
    chat.KorvaneMessage(0x102, 1, 0, "A", false);
    for (bool* mode : {&settings.testMode, &settings.silent}) {
        *mode = true;
        chat.KorvaneMessage(0x102, 1, 0, "B", false);
        chat.KorvaneMessage(0x102, 1, 0, "A", true);
        *mode = false;
    }
    chat.KorvaneMessage(0x102, 1, 0, "A", false);  // still the last line: suppressed
    chat.KorvaneMessage(0x102, 1, 0, "B", false);
    EXPECT_THAT(Received(), ElementsAre(ChatLine(0x102, 1, 0, "A"), ChatLine(0x102, 1, 0, "B")));
    EXPECT_EQ(sockets.sendCalls, 2);
}

TEST_F(ChatSenderTest, LongTextsAreRememberedAsTheBufferHoldsThem) {
    const std::string longer(300, 'y');
    chat.KorvaneMessage(1, 2, 0, longer, false);
    chat.KorvaneMessage(1, 2, 0, longer, false);
    chat.KorvaneMessage(1, 2, 0, longer + "z", false);  // the same once cut
    EXPECT_EQ(sockets.sendCalls, 1);
    EXPECT_EQ(sockets.sent[first_].size(), 292u);
}

TEST_F(ChatSenderTest, EachLineIsWholeAfterALongerOne) {
    // The sender formats and writes every line in the same buffers.
    chat.KorvaneMessage(1, 2, 0, std::string(300, 'y'), true);
    chat.KorvaneMessage(1, 2, 7, "short", false);
    chat.KorvaneMessage(1, 3, 0, "", true);
    EXPECT_THAT(Received(), ElementsAre(ChatLine(1, 2, 0, std::string(211, 'y'), true),
                                        ChatLine(1, 2, 7, "short"), ChatLine(1, 3, 0, "", true)));
    EXPECT_EQ(sockets.sent[first_].size(), 292u + 79 + 81);
}

TEST_F(ChatSenderTest, FailedSendReconnectsAndSendsAgainOnTheNewConnection) {
    sockets.failSends = 1;
    chat.KorvaneMessage(0x102, 1, 0, "hi", false);
    const SocketHandle second = link.linkSocket();
    EXPECT_NE(second, first_);
    EXPECT_THAT(sockets.closed, ElementsAre(first_));  // the replaced socket is closed
    EXPECT_THAT(Received(second), ElementsAre(ChatLine(0x102, 1, 0, "hi")));
    EXPECT_THAT(LogLines(), ElementsAre("Socket error in KorvaneMessage(): code=32",
                                        "Connection to server 127.0.0.1 established"));
}

// The lost link is told once in the event stream, and not again while it stays down.
TEST_F(ChatSenderTest, LineThatFailedWithTheReconnectionIsRememberedAndDropped) {
    sockets.failSends = 1;
    sockets.refuseConnects = true;
    EXPECT_FALSE(chat.KorvaneMessage(0x102, 1, 0, "hi", false));
    EXPECT_FALSE(link.linkUp());
    EXPECT_FALSE(chat.KorvaneMessage(0x102, 1, 0, "hi", false));  // suppressed: no send, no
                                                                  // reconnection
    EXPECT_EQ(sockets.sendCalls, 1);
    EXPECT_EQ(sockets.connects.size(), 2u);
    EXPECT_THAT(LogLines(), ElementsAre("Socket error in KorvaneMessage(): code=32",
                                        "could not connect to server"));

    // The next line finds the link down, fails at once and brings the link back.
    sockets.refuseConnects = false;
    EXPECT_TRUE(chat.KorvaneMessage(0x102, 1, 0, "again", false));
    EXPECT_TRUE(link.linkUp());
    EXPECT_THAT(Received(), ElementsAre(ChatLine(0x102, 1, 0, "again")));
    EXPECT_THAT(events.Names(), ElementsAre("link_lost", "link_up"));
    EXPECT_EQ(events.events[0]["code"], "32");
    EXPECT_EQ(events.events[1]["address"], "127.0.0.1");
    EXPECT_EQ(events.events[1]["port"], "2300");
}

TEST_F(ChatSenderTest, LinkThatFailsEverySendIsGivenUpAfterAFewResends) {
    sockets.failSends = 1000;
    chat.KorvaneMessage(0x102, 1, 0, "hi", false);
    EXPECT_EQ(sockets.sendCalls, 1 + ChatSender::kMaxResends);
    EXPECT_EQ(sockets.connects.size(), 2u + ChatSender::kMaxResends);
    EXPECT_EQ(sockets.open.size(), 1u);  // every replaced socket was closed
    const std::vector<std::string> lines = LogLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Socket error in KorvaneMessage(): code=32"),
              1 + ChatSender::kMaxResends);
    EXPECT_EQ(lines.back(),
              "Warning: KorvaneMessage() gave up after 3 resends; the line is dropped");

    // The next line is tried afresh.
    sockets.failSends = 0;
    chat.KorvaneMessage(0x102, 1, 0, "next", false);
    EXPECT_THAT(Received(), ElementsAre(ChatLine(0x102, 1, 0, "next")));
}

TEST_F(ChatSenderTest, ShortSendsAreFollowedByTheRest) {
    sockets.maxSendBytes = 10;
    chat.KorvaneMessage(0x102, 1, 0, "hi", false);
    chat.KorvaneMessage(0x102, 1, 0, "there", false);
    EXPECT_EQ(sockets.sendCalls, 8 + 8);  // 76 and 79 bytes, 10 at a time
    EXPECT_THAT(Received(first_),
                ElementsAre(ChatLine(0x102, 1, 0, "hi"), ChatLine(0x102, 1, 0, "there")));
}

TEST_F(ChatSenderTest, ConnectionTheServerClosedIsNotWrittenTo) {
    sockets.peerClosed.insert(first_);
    chat.KorvaneMessage(0x102, 1, 0, "hi", false);
    EXPECT_TRUE(sockets.sent[first_].empty());
    EXPECT_THAT(Received(link.linkSocket()), ElementsAre(ChatLine(0x102, 1, 0, "hi")));
    EXPECT_EQ(LogLines().at(0), "Socket error in KorvaneMessage(): code=104");
}

TEST_F(ChatSenderTest, AlertIsSentOnThePlayersBehalf) {
    PlayerRecord record(0x2A, clock);
    chat.SendAlert(record, "Bye");
    EXPECT_THAT(Received(), ElementsAre(ChatLine(0x2A, 1, 0, "Bye", true)));
}

}  // namespace
}  // namespace korvane
