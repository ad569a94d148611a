#include "tools/session_builder.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "capture/byte_reader.h"
#include "tools/frame_builder.h"

namespace korvane::tools {
namespace {

TEST(SessionBuilder, ChatLineAsTheProgramWritesIt) {
    const std::string text = ProgramChatText("hi");
    ASSERT_EQ(text, "(2.1 (beta.1) Feb 10 2004 14:49:49 ) hi");
    ASSERT_EQ(text.size(), 39u);
    auto message = BuildChatMessage(0x102, 1, 0, text);
    ASSERT_EQ(message.size(), 76u);
    EXPECT_EQ(message[0], 0x4C);
    EXPECT_EQ(message[1], 0x00);
    EXPECT_EQ(message[2], 0xB0);
    EXPECT_EQ(message[3], 0xFA);
    for (size_t i = 4; i < 20; ++i) {
        EXPECT_EQ(message[i], 0) << "address block byte " << i;
    }
    ByteReader reader(message);
    EXPECT_EQ(reader.U32(20), 0x102u);
    EXPECT_EQ(reader.U32(24), 1u);
    EXPECT_EQ(message[28], 0x1B);
    EXPECT_EQ(reader.U16(29), 0);
    EXPECT_EQ(reader.U16(31), 0);
    EXPECT_EQ(message[33], 0);
    EXPECT_EQ(message[34], 0);
    EXPECT_EQ(message[35], 0x01);
    EXPECT_EQ(std::string(message.begin() + 36, message.end() - 1), text);
    EXPECT_EQ(message.back(), 0);
}

TEST(SessionBuilder, ChatFieldAndAlert) {
    auto greeting = BuildChatMessage(1, 0x203, 7, "x");
    EXPECT_EQ(greeting[33], 7);
    EXPECT_EQ(greeting.size(), 38u);
    EXPECT_EQ(ByteReader(greeting).U16(0), 38u);
    const std::string alert = ProgramChatText("hi", true);
    EXPECT_EQ(alert, "(2.1 (beta.1) Feb 10 2004 14:49:49 ) Alert: hi");
    EXPECT_EQ(BuildChatMessage(0x102, 1, 0, alert).size(), 76u + 7u);
}

TEST(SessionBuilder, DeletionMessageByteForByte) {
    const std::vector<uint8_t> expected = {48, 0, 0xB0, 0xFA, 2, 0, 0, 0, 0,    0,    0,    0,
                                           0,  0, 0,    0,    0, 0, 0, 0, 'p',  'l',  'a',  'y',
                                           11, 0, 13,   0,    0, 0, 0, 0, 0x00, 0x01, 0x00, 0x00,
                                           0,  0, 0,    0,    0, 0, 0, 0, 0,    0,    0,    0};
    EXPECT_EQ(BuildDeletionMessage(0x100), expected);
    auto second = BuildDeletionMessage(0x100 - 1);
    EXPECT_EQ(second[32], 0xFF);
    EXPECT_EQ(second[33], 0x00);
}

TEST(SessionBuilder, CreationCarriesTheWideNameAtNinetySix) {
    auto message = BuildCreationMessage(0x2A, std::string_view("Bob"));
    ASSERT_EQ(message.size(), 96u + 8u);
    ByteReader reader(message);
    EXPECT_EQ(reader.U16(0), message.size());
    EXPECT_EQ(reader.U16(2), 0xFAB0);
    EXPECT_EQ(reader.U32(20), kPlaySignature);
    EXPECT_EQ(std::string(message.begin() + 20, message.begin() + 24), "play");
    EXPECT_EQ(reader.U16(24), 8);
    EXPECT_EQ(reader.U32(32), 0x2Au);
    for (size_t i = 36; i < 96; ++i) {
        EXPECT_EQ(message[i], 0) << i;
    }
    const std::vector<uint8_t> name = {'B', 0, 'o', 0, 'b', 0, 0, 0};
    EXPECT_EQ(std::vector<uint8_t>(message.begin() + 96, message.end()), name);

    auto wide = BuildCreationMessage(7, std::u16string_view(u"A\u0100"));
    EXPECT_EQ(ByteReader(wide).U16(98), 0x0100);
    // Latin-1 bytes become units below 256, not sign-extended ones.
    auto latin = BuildCreationMessage(7, std::string_view("\xE9"));
    EXPECT_EQ(ByteReader(latin).U16(96), 0x00E9);
}

TEST(SessionBuilder, ConnectMessageHasCodeWordOneAtPayloadTwentyFour) {
    auto message = BuildConnectMessage();
    ASSERT_EQ(message.size(), 36u);
    FrameSpec layout;
    layout.source = {0x7F000002, 40000};
    layout.destination = {0x7F000001, 2300};
    layout.payload = message;
    auto frame = BuildFrame(layout);
    ASSERT_GT(frame.size(), 60u);  // frames of 60 bytes or less are not looked at
    ByteReader reader(frame);
    EXPECT_EQ(reader.U16(56), 0xFAB0);  // token
    EXPECT_EQ(reader.U16(78), 1);       // code word
    EXPECT_EQ(reader.U16(54), frame.size() - 54);
}

TEST(SessionBuilder, GameMessageLayout) {
    const std::vector<uint8_t> content = {9, 8, 7};
    auto message = BuildGameMessage(0x102, 0x10001, 17, content);
    ASSERT_EQ(message.size(), 32u);
    ByteReader reader(message);
    EXPECT_EQ(reader.U16(0), 32u);
    EXPECT_EQ(reader.U32(20), 0x102u);
    EXPECT_EQ(reader.U32(24), 0x10001u);
    EXPECT_EQ(message[28], 17);
    EXPECT_EQ(std::vector<uint8_t>(message.begin() + 29, message.end()), content);
}

TEST(SessionBuilder, SystemMessageFields) {
    const std::vector<uint8_t> extra = {0xEE};
    auto message = BuildSystemMessage(0x1234, 0xA1B2C3D4, 13, 0x55667788, extra);
    ASSERT_EQ(message.size(), 37u);
    ByteReader reader(message);
    EXPECT_EQ(reader.U16(24), 0x1234);
    EXPECT_EQ(reader.U16(26), 13);
    EXPECT_EQ(reader.U32(28), 0x55667788u);
    EXPECT_EQ(reader.U32(32), 0xA1B2C3D4u);
    EXPECT_EQ(message[36], 0xEE);
}

TEST(SessionBuilder, RefusesMessagesTooLongForTheSizeWord) {
    EXPECT_THROW(BuildGameMessage(2, 1, 5, std::vector<uint8_t>(0xFFFF - 29 + 1)),
                 std::length_error);
    EXPECT_EQ(BuildGameMessage(2, 1, 5, std::vector<uint8_t>(0xFFFF - 29)).size(), 0xFFFFu);
}

}  // namespace
}  // namespace korvane::tools
