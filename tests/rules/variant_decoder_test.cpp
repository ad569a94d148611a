// Decoding and judging an upload: every road to a verdict, or to none, with what the log, the
// server, the player's record and the collection directory show afterwards.
#include "rules/variant_decoder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "rules/tech_base.h"
#include "rules/variant_file.h"
#include "tests/rules/rules_world.h"
#include "tests/support/recorded_events.h"
#include "tests/support/test_files.h"
#include "tests/tools/variant_test_support.h"
#include "tools/lzw_encoder.h"

namespace korvane {
namespace {

using korvane::testing::ChatLine;
using korvane::testing::Id;
using korvane::testing::kAtlasVariant;
using korvane::testing::kMadCatVariant;
using korvane::testing::kPlayerId;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using tools::ComponentSpec;
using tools::VariantSpec;

constexpr uint16_t kEcm = 813;
constexpr uint16_t kJumpJets = 815;
constexpr uint16_t kOptics = 808;
constexpr uint16_t kLargeLaser = 888;                                // IS
constexpr uint16_t kErLargeLaser = 885;                              // Clan
constexpr const char* kCollected = "4028ef8d.0000002a.variant.mw4";  // the world's clock

// A log line in the player form, as the console shows it for Mira.
std::string PlayerLine(const std::string& text) {
    return "0000002a \"Mira\"  [] [0.0.0.0]: " + text;
}
std::string Reply(const std::string& text, bool alert = false) {
    return ChatLine(kPlayerId, 1, 0, text, alert);
}
std::string Farewell() {
    return ChatLine(1, kPlayerId, 0, "See ya later Mira.");
}

VariantSpec Variant(uint32_t chassis, const std::vector<uint16_t>& ids,
                    std::string name = "Brawler") {
    std::vector<ComponentSpec> components;
    for (uint16_t id : ids) {
        components.push_back({id, 108});
    }
    return tools::Variant(chassis, components, std::move(name));
}

class VariantDecoderTest : public ::testing::Test {
  protected:
    VariantDecoderTest() : dir_(korvane::testing::FreshDirectory("variant-decoder")) {
        world_.log.SetSink(&events_);
    }
    ~VariantDecoderTest() override { std::filesystem::remove_all(dir_); }

    void Decode(const std::vector<uint8_t>& container) { world_.Decode(container); }
    void Decode(const VariantSpec& variant) { Decode(tools::BuildVariant(variant)); }
    std::vector<std::string> Collected() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }

    std::filesystem::path dir_;
    korvane::testing::RecordedEvents events_;
    korvane::testing::RulesWorld world_{dir_};
    RunSettings& settings_ = world_.settings;
    PlayerRecord& player_ = world_.player;
};

TEST_F(VariantDecoderTest, ForbiddenSubsystemIsLoggedCollectedAndKicked) {
    settings_.collectVariants = true;
    const std::vector<uint8_t> container =
        tools::BuildVariant(Variant(kAtlasVariant, {kEcm, kLargeLaser, kJumpJets, kOptics}));
    Decode(container);

    EXPECT_EQ(player_.configOk, 0);
    EXPECT_EQ(player_.chassisName, "Atlas");
    EXPECT_EQ(player_.variantName, "Brawler");
    EXPECT_EQ(world_.decoder.rejectReason(), "Illegal Jump Jets subsystem");
    EXPECT_EQ(world_.decoder.outcome(), DecodeOutcome::judged);
    EXPECT_EQ(world_.decoder.refusal(), "Illegal Jump Jets subsystem on 'Brawler'");
    EXPECT_THAT(
        world_.LogLines(),
        ElementsAre(
            PlayerLine("JJ Subsystem: INVALID"),
            PlayerLine("Atlas config 'Brawler' is INVALID: Illegal components"),
            PlayerLine(std::string("Illegal variant Atlas Brawler written to file ") + kCollected),
            ""));
    EXPECT_THAT(world_.Received(),
                ElementsAre(Reply("Mira kicked.", true),
                            Reply("Illegal Jump Jets subsystem on 'Brawler'", true), Farewell()));
    EXPECT_TRUE(player_.kickPending);
    EXPECT_EQ(korvane::testing::ReadWholeFile(dir_ / kCollected),
              std::string(container.begin(), container.end()));
    // Between uploads a record holds no configuration bytes, whatever it uploaded.
    EXPECT_EQ(player_.HeldBytes(), 0u);
    EXPECT_THAT(events_.Names(),
                ElementsAre("verdict", "collected", "kicked", "kick_sent", "farewell_sent"));
    const korvane::testing::StreamEvent& verdict = events_.events[0];
    EXPECT_EQ(verdict["valid"], "false");
    EXPECT_EQ(verdict["variant"], "Brawler");
    EXPECT_EQ(verdict["reason"], "Illegal components");
    EXPECT_EQ(verdict["subsystem"], "JJ");
    EXPECT_EQ(verdict["detail"], "Illegal Jump Jets subsystem");
    EXPECT_EQ(events_.events[1]["size"], std::to_string(container.size()));
    EXPECT_EQ(events_.events[2]["reason"], "Illegal Jump Jets subsystem on 'Brawler'");
    EXPECT_EQ(events_.events[3]["text"], "Mira kicked.");
    EXPECT_EQ(events_.events[4]["text"], "See ya later Mira.");

    // Kicked already: the log lines and the file again, nothing more to the player.
    world_.sockets.sent.clear();
    world_.console.ClearOutput();
    Decode(Variant(kAtlasVariant, {kOptics}));
    EXPECT_THAT(
        world_.LogLines(),
        ElementsAre(
            PlayerLine("OPTICS Subsystem: INVALID"),
            PlayerLine("Atlas config 'Brawler' is INVALID: Illegal components"),
            PlayerLine(std::string("Illegal variant Atlas Brawler written to file ") + kCollected),
            ""));
    EXPECT_THAT(world_.Received(), IsEmpty());
}

TEST_F(VariantDecoderTest, ValidVariantsAreReportedByTechClass) {
    const uint32_t kCameraShip = 0;
    const struct {
        const char* what;
        bool report, puretech;
        VariantSpec variant;
        std::vector<std::string> chat;
    } cases[] = {
        {"report and puretech",
         true,
         true,
         Variant(kAtlasVariant, {kEcm, kLargeLaser}),
         {Reply("Mira selected Atlas Variant (IS Tech)")}},
        {"report",
         true,
         false,
         Variant(kAtlasVariant, {kLargeLaser}),
         {Reply("Mira selected Atlas Variant ")}},
        {"an IS chassis with Clan weapons only",
         true,
         true,
         Variant(kAtlasVariant, {kErLargeLaser}),
         {Reply("Mira selected Atlas Variant (Mixed Tech IIC)", true)}},
        {"an IS chassis with both",
         true,
         true,
         Variant(kAtlasVariant, {kErLargeLaser, kLargeLaser}),
         {Reply("Mira selected Atlas Variant (Mixed Tech)", true)}},
        {"a Clan chassis with an IS weapon",
         true,
         true,
         Variant(kMadCatVariant, {kErLargeLaser, kLargeLaser}),
         {Reply("Mira selected Mad Cat Variant (Mixed Tech)", true)}},
        {"mixed, without puretech",
         true,
         false,
         Variant(kAtlasVariant, {kErLargeLaser}),
         {Reply("Mira selected Atlas Variant ")}},
        {"the Camera Ship",
         true,
         true,
         Variant(kCameraShip, {}),
         {Reply("Mira selected Camera Ship Variant (Observer)")}},
        {"puretech alone",
         false,
         true,
         Variant(kMadCatVariant, {kErLargeLaser}),
         {Reply("Mira selected Clan Tech")}},
        {"puretech alone, mixed",
         false,
         true,
         Variant(kAtlasVariant, {kErLargeLaser}),
         {Reply("Mira selected Mixed Tech IIC", true)}},
        {"puretech alone, the Camera Ship",
         false,
         true,
         Variant(kCameraShip, {}),
         {Reply("Mira selected Observer")}},
        {"neither switch", false, false, Variant(kAtlasVariant, {kErLargeLaser}), {}},
        {"a long name is cut",
         true,
         true,
         Variant(kAtlasVariant, {kLargeLaser}, std::string(100, 'n')),
         {Reply(("Mira selected Atlas Variant (IS Tech)"))}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        settings_.reportSelections = c.report;
        settings_.puretech = c.puretech;
        world_.sockets.sent.clear();
        world_.chat.ForgetLastMessage();
        // Every case's tech differs from this earlier selection's.
        player_.chassisTech = kTechIS;
        player_.componentTech = kTechNA;
        Decode(c.variant);
        EXPECT_EQ(player_.configOk, 1);
        EXPECT_EQ(world_.Received(), c.chat);
    }
    EXPECT_EQ(player_.variantName, std::string(63, 'n'));
    EXPECT_THAT(world_.LogLines(), IsEmpty());
}

TEST_F(VariantDecoderTest, PuretechAloneTellsOnlyAChangeOfTech) {
    settings_.puretech = true;
    Decode(Variant(kAtlasVariant, {kErLargeLaser}));
    world_.chat.ForgetLastMessage();
    Decode(Variant(kAtlasVariant, {kErLargeLaser, kErLargeLaser}, "Other"));
    Decode(Variant(kAtlasVariant, {kLargeLaser}));
    EXPECT_THAT(world_.Received(), ElementsAre(Reply("Mira selected Mixed Tech IIC", true),
                                               Reply("Mira selected IS Tech")));
}

TEST_F(VariantDecoderTest, SizeLimit) {
    VariantSpec legal = Variant(kAtlasVariant, {kEcm});
    legal.totalSize = PlayerRecord::kConfigDataBytes;
    settings_.reportSelections = true;
    Decode(legal);
    EXPECT_THAT(world_.Received(), ElementsAre(Reply("Mira selected Atlas Variant ")));
    EXPECT_FALSE(player_.kickPending);

    // One byte more: judged by its size alone, the names those of the earlier selection.
    world_.sockets.sent.clear();
    player_.configOk = 1;
    player_.configSize = 77;
    legal.totalSize += 1;
    Decode(legal);
    EXPECT_THAT(
        world_.LogLines(),
        ElementsAre(PlayerLine("Atlas config 'Brawler' is INVALID: Too much data (16385)")));
    EXPECT_THAT(world_.Received(),
                ElementsAre(Reply("Mira kicked.", true),
                            Reply("Something funky with that Atlas 'Brawler'", true), Farewell()));
    EXPECT_EQ(world_.decoder.outcome(), DecodeOutcome::oversized);
    EXPECT_EQ(world_.decoder.refusal(), "Something funky with that Atlas 'Brawler'");
    EXPECT_TRUE(player_.kickPending);
    EXPECT_EQ(player_.configOk, 1);
    EXPECT_EQ(player_.configSize, 77u);
    EXPECT_EQ(player_.configLength1, 0u);
    const std::vector<korvane::testing::StreamEvent> verdicts = events_.Named("verdict");
    ASSERT_EQ(verdicts.size(), 2u);
    EXPECT_EQ(verdicts[0]["valid"], "true");
    EXPECT_EQ(verdicts[1]["valid"], "false");
    EXPECT_EQ(verdicts[1]["reason"], "Too much data");
    EXPECT_EQ(verdicts[1]["size"], "16385");
}

TEST_F(VariantDecoderTest, OversizedUploadOfAKickedPlayerIsOnlyLogged) {
    player_.kickPending = true;
    player_.configLength2 = PlayerRecord::kConfigDataBytes + 1;
    world_.decoder.DecodeVariant(player_);
    EXPECT_THAT(
        world_.LogLines(),
        ElementsAre(PlayerLine("Unknown config 'Unknown' is INVALID: Too much data (16385)")));
    EXPECT_THAT(world_.Received(), IsEmpty());
}

TEST_F(VariantDecoderTest, TheTrueTotalOfAnOversizedUploadIsTold) {
    player_.configLength1 = 100;
    player_.configLength2 = 4000000000u;
    player_.configLength3 = 400000000u;
    world_.decoder.DecodeVariant(player_);
    EXPECT_THAT(
        world_.LogLines(),
        ElementsAre(PlayerLine("Unknown config 'Unknown' is INVALID: Too much data (4400000100)")));
}

TEST_F(VariantDecoderTest, UploadsWithoutAVerdict) {
    const std::vector<uint8_t> legal = tools::BuildVariant(Variant(kAtlasVariant, {kEcm}));
    std::vector<uint8_t> notContainer = legal;
    notContainer[3] = 'X';
    std::vector<uint8_t> longer = legal;
    longer.push_back(0);
    std::vector<uint8_t> shorter = legal;
    shorter.pop_back();
    // A section whose bytes lie past the end, though the lengths add up.
    std::vector<uint8_t> outside = legal;
    outside[13] += 1;
    const std::vector<uint8_t> unknownChassis =
        tools::BuildVariant(Variant(Id(0x0bad), {kJumpJets}));
    const tools::SectionSpec name{std::string(tools::kVariantNamePrefix) + "Two", {1, 2, 3}};
    const tools::SectionSpec chassis{"chassis",
                                     tools::LzwEncode(tools::ChassisRecord(kAtlasVariant))};
    // A code that names no entry twice in a row: its prefix chain never ends.
    const std::vector<std::pair<uint16_t, int>> loop = {{256, 9}, {65, 9}, {400, 9}, {400, 9}};
    const tools::SectionSpec damaged{"components", tools::PackCodes(loop, 2)};
    const tools::SectionSpec shortChassis{"chassis",
                                          tools::LzwEncode(std::vector<uint8_t>(151, 1))};

    const struct {
        const char* what;
        DecodeOutcome outcome;  // where the decoder says it ended
        std::vector<uint8_t> container;
        std::vector<std::string> log;
        const char* chassisName;
        const char* variantName;
        int32_t configOk = 1;      // 1 once the upload is a container, else the earlier verdict
        int32_t chassisIndex = 5;  // the earlier selection's row unless a chassis was looked up
    } cases[] = {
        {"not a container", DecodeOutcome::notContainer, notContainer, {}, "Unknown", "Unknown", 0},
        {"shorter than the magic",
         DecodeOutcome::tooShort,
         {'#', 'V', 'B'},
         {},
         "Unknown",
         "Unknown",
         0},
        {"one byte more than the directory says",
         DecodeOutcome::inconsistent,
         longer,
         {},
         "Unknown",
         "Unknown"},
        {"one byte less than the directory says",
         DecodeOutcome::inconsistent,
         shorter,
         {},
         "Unknown",
         "Unknown"},
        {"a section outside the container",
         DecodeOutcome::inconsistent,
         outside,
         {},
         "Unknown",
         "Unknown"},
        {"an unknown chassis",
         DecodeOutcome::unknownChassis,
         unknownChassis,
         {"Could not determine chassis 0bad0001"},
         "Unknown",
         "Brawler",
         1,
         -1},
        {"no sections",
         DecodeOutcome::noChassisSection,
         tools::BuildContainer(std::vector<tools::SectionSpec>{}),
         {},
         "Unknown",
         "Unknown"},
        {"no chassis section",
         DecodeOutcome::noChassisSection,
         tools::BuildContainer(std::vector{name}),
         {},
         "Unknown",
         "Two"},
        {"a chassis record too short for the id",
         DecodeOutcome::chassisUnreadable,
         tools::BuildContainer(std::vector{name, shortChassis}),
         {},
         "Unknown",
         "Two"},
        {"no component section",
         DecodeOutcome::componentsUnreadable,
         tools::BuildContainer(std::vector{name, chassis}),
         {},
         "Atlas",
         "Two",
         1,
         2},
        {"a component list that cannot be expanded",
         DecodeOutcome::componentsUnreadable,
         tools::BuildContainer(std::vector{name, chassis, damaged}),
         {},
         "Atlas",
         "Two",
         1,
         2},
    };
    settings_.reportSelections = true;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        player_.chassisName.Set("Unknown");
        player_.variantName.Set("Unknown");
        player_.configOk = 0;
        player_.configSize = 77;
        player_.chassisIndex = 5;
        world_.console.ClearOutput();
        Decode(c.container);
        EXPECT_EQ(world_.LogLines(), c.log);
        EXPECT_EQ(world_.decoder.outcome(), c.outcome);
        EXPECT_EQ(world_.decoder.refusal(), "");
        EXPECT_EQ(player_.configOk, c.configOk);
        EXPECT_EQ(player_.configSize, c.configOk != 0 ? c.container.size() : 77u);
        EXPECT_EQ(player_.chassisIndex, c.chassisIndex);
        EXPECT_THAT(world_.Received(), IsEmpty());
        EXPECT_EQ(player_.chassisName, c.chassisName);
        EXPECT_EQ(player_.variantName, c.variantName);
        EXPECT_EQ(player_.configLength1 + player_.configLength2 + player_.configLength3, 0u);
        EXPECT_TRUE(player_.configPart1.empty());
        EXPECT_FALSE(player_.kickPending);
    }
    EXPECT_THAT(Collected(), IsEmpty());
}

TEST_F(VariantDecoderTest, InconsistentContainerIsOnlyCollected) {
    settings_.collectVariants = true;
    player_.chassisName.Set("Thor");
    player_.variantName.Set("Stock");
    std::vector<uint8_t> longer = tools::BuildVariant(Variant(kAtlasVariant, {kJumpJets}));
    longer.push_back(0);
    Decode(longer);
    EXPECT_THAT(world_.LogLines(),
                ElementsAre(PlayerLine(std::string("Illegal variant Thor Stock written to file ") +
                                       kCollected),
                            ""));
    EXPECT_THAT(world_.Received(), IsEmpty());
    EXPECT_EQ(player_.configOk, 1);
    EXPECT_EQ(korvane::testing::ReadWholeFile(dir_ / kCollected),
              std::string(longer.begin(), longer.end()));

    // A section outside the upload counts as inconsistent too.
    std::vector<uint8_t> outside = tools::BuildVariant(Variant(kAtlasVariant, {kJumpJets}));
    outside[13] += 1;
    world_.console.ClearOutput();
    Decode(outside);
    EXPECT_EQ(world_.LogLines().size(), 2u);
    EXPECT_EQ(korvane::testing::ReadWholeFile(dir_ / kCollected),
              std::string(outside.begin(), outside.end()));
    EXPECT_THAT(world_.Received(), IsEmpty());
}

TEST_F(VariantDecoderTest, EntryCutShortEndsTheWalk) {
    // The jump jets come first and end the walk: the entry after them, cut short of its id,
    // does not matter.
    std::vector<uint8_t> list = tools::ComponentList(std::vector<ComponentSpec>{{kJumpJets, 108}});
    list.insert(list.end(), {108, 0, 1, 2, 3});
    const tools::SectionSpec name{std::string(tools::kVariantNamePrefix) + "Cut", {}};
    const tools::SectionSpec chassis{"chassis",
                                     tools::LzwEncode(tools::ChassisRecord(kAtlasVariant))};
    Decode(
        tools::BuildContainer(std::vector{name, chassis, {"components", tools::LzwEncode(list)}}));
    EXPECT_EQ(player_.configOk, 0);
    EXPECT_THAT(world_.Received(),
                ElementsAre(Reply("Mira kicked.", true),
                            Reply("Illegal Jump Jets subsystem on 'Cut'", true), Farewell()));

    // The same cut entry before anything forbidden: no verdict, and no report either.
    settings_.reportSelections = true;
    world_.sockets.sent.clear();
    player_.kickPending = false;
    list = tools::ComponentList(std::vector<ComponentSpec>{{kEcm, 108}});
    list.insert(list.end(), {108, 0, 1, 2, 3});
    Decode(
        tools::BuildContainer(std::vector{name, chassis, {"components", tools::LzwEncode(list)}}));
    EXPECT_EQ(player_.configOk, 1);
    EXPECT_THAT(world_.Received(), IsEmpty());
}

TEST_F(VariantDecoderTest, VariantNamesFromSectionZero) {
    const struct {
        std::string sectionName;
        std::string variantName;
    } cases[] = {
        {std::string(tools::kVariantNamePrefix) + "Brawler", "Brawler"},
        {std::string(tools::kVariantNamePrefix), ""},
        {"short", ""},
        {std::string(tools::kVariantNamePrefix) + "evil\nname\x1b[2J", "evil?name?[2J"},
        {std::string(tools::kVariantNamePrefix) + std::string(200, 'v'), std::string(63, 'v')},
        {std::string(tools::kVariantNamePrefix) + std::string("Brawler\0x", 9), "Brawler"},
    };
    for (const auto& c : cases) {
        Decode(tools::BuildContainer(std::vector<tools::SectionSpec>{{c.sectionName, {}}}));
        EXPECT_EQ(player_.variantName, c.variantName) << c.sectionName;
    }
}

TEST_F(VariantDecoderTest, UnwritableDirectoryCostsOnlyALogLine) {
    korvane::testing::RulesWorld world(dir_ / "missing");
    world.settings.collectVariants = true;
    world.Decode(tools::BuildVariant(Variant(kAtlasVariant, {kJumpJets})));
    EXPECT_THAT(world.LogLines(),
                ElementsAre(PlayerLine("JJ Subsystem: INVALID"),
                            PlayerLine("Atlas config 'Brawler' is INVALID: Illegal components"),
                            std::string("Could not open variant file ") + kCollected, ""));
    EXPECT_EQ(world.Received().size(), 3u);
}

// A run keeps at most its bound of collected bytes: past it no file is written and one warning
// says so, while every verdict, kick line and log line stays.
TEST_F(VariantDecoderTest, CollectedFilesStopAtTheRunsBound) {
    const std::vector<uint8_t> container =
        tools::BuildVariant(Variant(kAtlasVariant, {kLargeLaser, kJumpJets}));
    korvane::testing::RecordedEvents events;
    korvane::testing::RulesWorld world(dir_, 2 * container.size() + 1);
    world.log.SetSink(&events);
    world.settings.collectVariants = true;
    // The last upload is smaller, and would still fit: it is not saved either.
    const std::vector<uint8_t> smaller = tools::BuildVariant(Variant(kAtlasVariant, {kJumpJets}));
    ASSERT_LT(smaller.size(), container.size());
    for (int upload = 0; upload < 5; ++upload) {
        world.clock.SetSeconds(0x4028ef8d + upload);  // a file name of its own each time
        world.player.kickPending = false;
        world.Decode(upload < 4 ? container : smaller);
    }
    EXPECT_THAT(Collected(), ::testing::UnorderedElementsAre("4028ef8d.0000002a.variant.mw4",
                                                             "4028ef8e.0000002a.variant.mw4"));
    const std::vector<std::string> lines = world.LogLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         PlayerLine("Atlas config 'Brawler' is INVALID: Illegal components")),
              5);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) { return line.starts_with("Warning:"); }),
              1);
    EXPECT_THAT(lines, ::testing::Contains("Warning: the variant files of this run hold " +
                                           std::to_string(2 * container.size()) +
                                           " bytes, and the next would pass "
                                           "the bound of " +
                                           std::to_string(2 * container.size() + 1) +
                                           "; no further variant file is written"));
    EXPECT_EQ(events.Named("warning").size(), 1u);
    EXPECT_EQ(events.Named("collected").size(), 2u);
    EXPECT_EQ(events.Named("kick_sent").size(), 5u);
}

TEST(VariantFileName, HexadecimalTimeThenThePlayerId) {
    EXPECT_EQ(VariantFileName(0x4028ef8d, 42), "4028ef8d.0000002a.variant.mw4");
    EXPECT_EQ(VariantFileName(0xabc, 0xdeadbeef), "abc.deadbeef.variant.mw4");
}

}  // namespace
}  // namespace korvane
