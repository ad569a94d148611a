// The game messages a player sends the host: configuration pieces put back in order, the
// greeting, stock selections, chat texts, and messages too short for what they carry.
#include "rules/selection_handler.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rules/tech_base.h"
#include "tests/rules/rules_world.h"
#include "tests/tools/variant_test_support.h"
#include "tools/session_builder.h"

namespace korvane {
namespace {

using tools::Bytes;

using korvane::testing::ChatLine;
using korvane::testing::kAtlasStock;
using korvane::testing::kMadCatStock;
using korvane::testing::kPlayerId;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

// A piece message of the player's: type 4, 5 or 6, its sequence number and its bytes.
struct Piece {
    uint8_t type;
    uint16_t sequence;
    std::string bytes;
};

class SelectionHandlerTest : public ::testing::Test, public korvane::testing::RulesWorld {
  protected:
    SelectionHandlerTest() {
        // The pieces as they stand when the variant is complete; then emptied, as decoding does.
        selections.SetVariantDecoding([this](PlayerRecord& r) {
            decoded.push_back({std::string(r.configPart1.begin(), r.configPart1.end()),
                               std::string(r.configPart2.begin(), r.configPart2.end()),
                               std::string(r.configPart3.begin(), r.configPart3.end())});
            r.configPart1.clear();
            r.configPart2.clear();
            r.configPart3.clear();
            r.configLength1 = r.configLength2 = r.configLength3 = 0;
        });
        selections.SetChatTextHandler(
            [this](PlayerRecord& r, uint32_t sender, std::string_view text) {
                EXPECT_EQ(&r, &player);
                chatTexts.push_back(std::to_string(sender) + ":" + std::string(text));
            });
    }

    void Handle(const std::vector<uint8_t>& message) {
        selections.HandlePlayerMessage(player, message);
    }
    void Handle(const Piece& piece) {
        Handle(tools::BuildPieceMessage(kPlayerId, piece.type, piece.sequence, Bytes(piece.bytes)));
    }
    size_t ConfigurationLines() const {
        size_t lines = 0;
        for (const std::string& line : LogLines()) {
            lines += line.ends_with("VALID") ? 1 : 0;
        }
        return lines;
    }

    std::vector<std::vector<std::string>> decoded;
    std::vector<std::string> chatTexts;
};

TEST_F(SelectionHandlerTest, PiecesArePutBackInOrder) {
    const struct {
        const char* what;
        std::vector<Piece> pieces;
        std::vector<std::vector<std::string>> decoded;  // piece 1, 2 and 3 at each decoding
        size_t queued;
        int16_t nextSequence;
    } cases[] = {
        {"in order", {{4, 10, "a"}, {5, 11, "b"}, {6, 12, "c"}}, {{"a", "b", "c"}}, 0, 13},
        {"last before middle",
         {{4, 10, "a"}, {6, 12, "c"}, {5, 11, "b"}},
         {{"a", "b", "c"}},
         0,
         13},
        {"middle pieces swapped",
         {{4, 10, "a"}, {5, 12, "y"}, {5, 11, "x"}, {6, 13, "c"}},
         {{"a", "xy", "c"}},
         0,
         14},
        // A first piece never looks at the queue, so the early last piece stays there until an
        // in-order last piece discards it.
        {"last before first", {{6, 11, "c"}, {4, 10, "a"}}, {}, 1, 11},
        {"last before first, then in order",
         {{6, 11, "c"}, {4, 10, "a"}, {6, 11, "d"}},
         {{"a", "", "d"}},
         0,
         12},
        {"a middle piece twice", {{4, 10, "a"}, {5, 11, "x"}, {5, 11, "z"}}, {}, 1, 12},
        {"a middle piece twice, then the last",
         {{4, 10, "a"}, {5, 11, "x"}, {5, 11, "z"}, {6, 12, "c"}},
         {{"a", "x", "c"}},
         0,
         13},
        {"numbers wrap", {{4, 65535, "a"}, {5, 0, "b"}, {6, 1, "c"}}, {{"a", "b", "c"}}, 0, 2},
        {"two pieces", {{4, 7, "head"}, {6, 8, "tail"}}, {{"head", "", "tail"}}, 0, 9},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        decoded.clear();
        player.pendingSelections.Clear();
        player.selectionSequence = 0;
        player.configPart1.clear();
        player.configPart2.clear();
        player.configLength1 = player.configLength2 = 0;
        console.ClearOutput();
        for (const Piece& piece : c.pieces) {
            Handle(piece);
        }
        EXPECT_EQ(decoded, c.decoded);
        EXPECT_EQ(ConfigurationLines(), c.decoded.size());
        EXPECT_EQ(player.pendingSelections.count(), c.queued);
        EXPECT_EQ(player.selectionSequence, c.nextSequence);
    }
}

TEST_F(SelectionHandlerTest, QueueKeepsTheNewestPieces) {
    Handle(Piece{4, 0, "a"});
    for (uint16_t n = 0; n < 100; ++n) {
        Handle(Piece{5, static_cast<uint16_t>(1000 + n), "early"});
    }
    EXPECT_EQ(player.pendingSelections.count(), SelectionHandler::kMaxQueuedSelections);
    EXPECT_THAT(LogLines(),
                ElementsAre("0000002a \"Mira\"  [] [0.0.0.0]: Warning: more than 32 "
                            "configuration pieces wait for their turn; the oldest are dropped"));
    // The newest 32 are kept: once 1067 is in, they follow one after the other.
    player.selectionSequence = 1067;
    Handle(Piece{5, 1067, "x"});
    EXPECT_TRUE(player.pendingSelections.empty());
    EXPECT_EQ(player.selectionSequence, 1100);
    EXPECT_EQ(player.configLength2, 1u + 32 * 5);
}

TEST_F(SelectionHandlerTest, PieceBytesStopAtTheSizeLimitWhileTheCountGoesOn) {
    const std::string kilobyte(1000, 'k');
    Handle(Piece{4, 0, kilobyte});
    for (uint16_t n = 1; n <= 20; ++n) {
        Handle(Piece{5, n, kilobyte});
    }
    EXPECT_EQ(player.configLength1, 1000u);
    EXPECT_EQ(player.configLength2, 20000u);
    EXPECT_EQ(player.configPart1.size(), 1000u);
    EXPECT_TRUE(player.configPart2.empty());
    EXPECT_EQ(player.configPart2.capacity(), 0u);

    // Each piece is kept up to the limit, whatever the others hold: a smaller first piece
    // after a large one leaves an upload whose every byte is there.
    const size_t limit = PlayerRecord::kConfigDataBytes;
    const struct {
        std::vector<Piece> pieces;
        std::vector<size_t> decoded;  // the sizes of the three pieces at the decoding
    } cases[] = {
        {{{4, 0, std::string(10000, 'a')},
          {5, 1, std::string(7000, 'b')},
          {4, 0, "c"},
          {5, 1, std::string(7000, 'd')},
          {6, 2, "e"}},
         {1, 14000, 1}},
        {{{4, 0, std::string(limit, 'a')}, {6, 1, std::string(limit, 'e')}}, {limit, 0, limit}},
        {{{4, 0, std::string(limit + 1, 'a')}, {6, 1, "e"}}, {0, 0, 1}},
    };
    for (const auto& c : cases) {
        decoded.clear();
        player.configPart2.clear();
        player.configLength2 = 0;
        for (const Piece& piece : c.pieces) {
            Handle(piece);
        }
        ASSERT_EQ(decoded.size(), 1u);
        EXPECT_EQ(
            (std::vector<size_t>{decoded[0][0].size(), decoded[0][1].size(), decoded[0][2].size()}),
            c.decoded);
    }
}

TEST_F(SelectionHandlerTest, GreetingOncePerRecord) {
    const struct {
        bool versionNotice, puretech, report;
        std::vector<const char*> lines;
    } cases[] = {
        {true, false, false, {"Korvane 2.1 (beta.1) Feb 10 2004 14:49:51 (SECURE)"}},
        {true,
         true,
         false,
         {"Korvane 2.1 (beta.1) Feb 10 2004 14:49:51 (SECURE)", "PureTech checking is active"}},
        {true,
         true,
         true,
         {"Korvane 2.1 (beta.1) Feb 10 2004 14:49:51 (SECURE)", "PureTech checking is active",
          "Mech selection reporting is active"}},
        {true,
         false,
         true,
         {"Korvane 2.1 (beta.1) Feb 10 2004 14:49:51 (SECURE)",
          "Mech selection reporting is active"}},
        {false, true, true, {}},
    };
    for (const auto& c : cases) {
        settings.versionNotice = c.versionNotice;
        settings.puretech = c.puretech;
        settings.reportSelections = c.report;
        player.greeted = false;
        sockets.sent.clear();
        chat.ForgetLastMessage();
        Handle(tools::BuildInfoMessage(kPlayerId, "Timber Wolf pilot"));
        Handle(tools::BuildInfoMessage(kPlayerId, "second\x1b[2J info"));
        std::vector<std::string> expected;
        for (const char* line : c.lines) {
            expected.push_back(ChatLine(1, kPlayerId, 7, line));
        }
        expected.push_back(ChatLine(
            1, kPlayerId, 7, "Korvane: Type '~commands' for a list of chat commands available"));
        EXPECT_EQ(Received(), expected);
        EXPECT_EQ(player.infoText, "second?[2J info");
    }
    Handle(tools::BuildInfoMessage(kPlayerId, std::string(100, 'i')));
    EXPECT_EQ(player.infoText, std::string(63, 'i'));
    std::vector<uint8_t> unterminated = tools::BuildInfoMessage(kPlayerId, "to the end");
    unterminated.pop_back();
    Handle(unterminated);
    EXPECT_EQ(player.infoText, "to the end");
}

TEST_F(SelectionHandlerTest, StockSelectionsAreReportedAsTheSwitchesSay) {
    const uint32_t kCameraShip = korvane::testing::Id(574, 2);
    const uint32_t kUnknown = korvane::testing::Id(958);
    const struct {
        const char* what;
        bool report, puretech;
        std::vector<uint32_t> selections;
        std::vector<std::string> chat;
        std::string console;  // the last configuration line
    } cases[] = {
        {"report", true, false, {kAtlasStock}, {"Mira selected Atlas Stock "}, "VALID"},
        {"report and puretech",
         true,
         true,
         {kAtlasStock, kMadCatStock},
         {"Mira selected Atlas Stock IS Tech", "Mira selected Mad Cat Stock Clan Tech"},
         "VALID"},
        {"the Camera Ship has no tech",
         true,
         true,
         {kCameraShip},
         {"Mira selected Camera Ship Stock "},
         "VALID"},
        {"puretech alone: the Camera Ship says nothing", false, true, {kCameraShip}, {}, "VALID"},
        // Only a change from the previous configuration's tech is told.
        {"puretech alone",
         false,
         true,
         {kAtlasStock, kAtlasStock, kMadCatStock, kMadCatStock},
         {"Mira selected IS Tech", "Mira selected Clan Tech"},
         "VALID"},
        {"an unknown chassis", true, true, {kUnknown}, {"Mira selected Unknown Stock "}, "INVALID"},
        {"neither switch", false, false, {kAtlasStock, kMadCatStock}, {}, "VALID"},
        {"the same selection twice is said once",
         true,
         false,
         {kAtlasStock, kAtlasStock},
         {"Mira selected Atlas Stock "},
         "VALID"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        settings.reportSelections = c.report;
        settings.puretech = c.puretech;
        sockets.sent.clear();
        chat.ForgetLastMessage();
        player.chassisTech = player.componentTech = kTechNA;
        for (uint32_t selection : c.selections) {
            console.ClearOutput();
            Handle(tools::BuildStockSelection(kPlayerId, selection));
        }
        std::vector<std::string> expected;
        for (const std::string& line : c.chat) {
            expected.push_back(ChatLine(kPlayerId, 1, 0, line));
        }
        EXPECT_EQ(Received(), expected);
        EXPECT_EQ(console.output(), "0000002a Mira " + c.console + "\n");
    }
}

TEST_F(SelectionHandlerTest, ConfigurationLine) {
    player.configOk = 1;
    selections.PrintConfiguration(player, SelectionHandler::Selection::stock);
    player.infoText.Set("Timber Wolf pilot");
    player.fragmentPending = true;
    player.configOk = 0;
    selections.PrintConfiguration(player, SelectionHandler::Selection::stock);
    EXPECT_EQ(console.output(),
              "0000002a Mira VALID\n"
              "0000002a Mira (Timber Wolf pilot) * INVALID\n");
}

TEST_F(SelectionHandlerTest, ChatTextsGoToTheirHandler) {
    Handle(tools::BuildChatMessage(kPlayerId, 1, 0, "~time"));
    Handle(tools::BuildGameMessage(kPlayerId, 1, 27, std::vector<uint8_t>(7, 0)));  // no text
    EXPECT_THAT(chatTexts, ElementsAre("42:~time"));
}

TEST_F(SelectionHandlerTest, MessagesTooShortForWhatTheyCarryChangeNothing) {
    auto cut = [](std::vector<uint8_t> message, size_t length) {
        message.resize(length);
        message[0] = static_cast<uint8_t>(length);  // a whole message of that size
        message[1] = 0;
        return message;
    };
    const std::vector<uint8_t> first = tools::BuildPieceMessage(kPlayerId, 4, 10, Bytes("abc"));
    const size_t firstPiece = tools::PieceOffsetOf(first);
    const struct {
        const char* what;
        std::vector<uint8_t> message;
    } cases[] = {
        {"first piece without its piece", cut(first, firstPiece - 1)},
        {"first piece without L2", cut(first, 44 + 4)},
        {"first piece without L1", cut(first, 43)},
        {"middle piece", cut(tools::BuildPieceMessage(kPlayerId, 5, 0, Bytes("abc")), 32)},
        {"last piece", cut(tools::BuildPieceMessage(kPlayerId, 6, 0, Bytes("abc")), 32)},
        {"information", cut(tools::BuildInfoMessage(kPlayerId, "x"), 56)},
        {"stock selection",
         cut(tools::BuildStockSelection(kPlayerId, kAtlasStock), 37 + 5 + 3 + 3)},
        {"chat", cut(tools::BuildChatMessage(kPlayerId, 1, 0, "~commands"), 36)},
        {"no type", cut(tools::BuildChatMessage(kPlayerId, 1, 0, "x"), 28)},
        {"another type", tools::BuildGameMessage(kPlayerId, 1, 7, Bytes("0123456789"))},
        {"another type", tools::BuildGameMessage(kPlayerId, 1, 18, Bytes("0123456789"))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Handle(c.message);
        EXPECT_EQ(player.configLength1 + player.configLength2 + player.configLength3, 0u);
        EXPECT_TRUE(player.pendingSelections.empty());
        EXPECT_EQ(player.selectionSequence, 0);
        EXPECT_FALSE(player.greeted);
        EXPECT_EQ(player.chassisName, "Unknown");
        EXPECT_THAT(chatTexts, IsEmpty());
        EXPECT_THAT(console.output(), IsEmpty());
    }
    // An empty piece, on the other hand, is a piece.
    Handle(cut(tools::BuildPieceMessage(kPlayerId, 5, 0, Bytes("abc")), 33));
    EXPECT_EQ(player.selectionSequence, 1);
}

TEST_F(SelectionHandlerTest, SenderBecomesThePlayerAndNamesAnUnknownOne) {
    PlayerRecord unknown(0, clock);
    selections.HandlePlayerMessage(unknown, tools::BuildGameMessage(0x77, 1, 7));
    EXPECT_EQ(unknown.name, "00000077");
    EXPECT_EQ(unknown.playerId, 0x77u);
    selections.HandlePlayerMessage(unknown, tools::BuildGameMessage(0x88, 1, 7));
    EXPECT_EQ(unknown.name, "00000077");
    EXPECT_EQ(unknown.playerId, 0x88u);
}

}  // namespace
}  // namespace korvane
