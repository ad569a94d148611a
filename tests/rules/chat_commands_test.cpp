// Chat commands: which command a typed word names, the answers and their forms, the tech
// reports over the player table, and the repeat suppression that every chat text resets.
#include "rules/chat_commands.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "app/time_announcer.h"
#include "tests/link/link_world.h"

namespace korvane {
namespace {

using korvane::testing::ChatLine;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

constexpr const char* kNow = "Tue Feb 10 14:49:49 2004";  // the world's clock

struct Player {
    uint32_t id;
    const char* name;
    uint32_t chassisTech;
    uint32_t componentTech;
};

// Oldest first; the reports list them newest first.
const std::vector<Player> kRoster = {
    {0x11, "Ada", kTechIS, kTechIS},
    {0x12, "Bo", kTechClan, kTechNA},  // a stock Clan mech: no weapons counted
    {0x13, "Cy", kTechIS, kTechClan},
    {0x14, "Di", kTechClan, kTechIS},
    {0x15, "Ed", kTechIS, kTechMixed},
    {0x16, "Fay", kTechNA, kTechNA},  // nothing chosen yet: never listed
    {0x17, "Gil", kTechClan, kTechClan},
};

// The commands over a player table and a real time announcer, on a link over fake sockets.
struct CommandsWorld : korvane::testing::LinkWorld {
    explicit CommandsWorld(const std::vector<Player>& roster, bool puretech = true) {
        settings.puretech = puretech;
        for (const Player& p : roster) {
            const std::array<uint8_t, 4> address = {127, 0, 1, static_cast<uint8_t>(p.id)};
            PlayerRecord& record = players.GetPlayerWithId(p.id, address);
            record.name.Set(p.name);
            record.chassisTech = p.chassisTech;
            record.componentTech = p.componentTech;
        }
    }
    // What the server gets for one chat text of the player with `id`.
    std::vector<std::string> Answers(const std::string& text, uint32_t id = 0x11) {
        const size_t before = Received().size();
        PlayerRecord* asker =
            players.records().FindFirst([id](const PlayerRecord& r) { return r.playerId == id; });
        commands.HandleChatText(*asker, id, text);
        std::vector<std::string> lines = Received();
        lines.erase(lines.begin(), lines.begin() + static_cast<ptrdiff_t>(before));
        return lines;
    }

    PlayerTable players{clock};
    TimeAnnouncer announcer{settings, clock, players, chat, console};
    ChatCommands commands{settings, chat, players, log, [this] { announcer.AnnounceTime(); }};
};

std::string Reply(const std::string& text) {
    return ChatLine(0x11, 1, 0, text);
}

const std::vector<std::string> kCommandList = {Reply("~version, ~time, ~commands"),
                                               Reply("~tech, ~clan, ~is, ~mixed")};
const std::vector<std::string> kIs = {Reply("Valid: Ada: IS")};
const std::vector<std::string> kClan = {Reply("Valid: Gil: Clan"), Reply("Valid: Bo: NA")};
const std::vector<std::string> kMixed = {Reply("Violation: Ed: Mixed"), Reply("Violation: Di: IS"),
                                         Reply("Violation: Cy: IIC Config")};

std::vector<std::string> Join(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> lines;
    for (const auto& part : parts) {
        lines.insert(lines.end(), part.begin(), part.end());
    }
    return lines;
}

TEST(ChatCommands, TheTypedWordNamesTheFirstCommandItBegins) {
    const std::string time = ChatLine(0x17, 1, 0, kNow);  // from the newest player
    const std::string version =
        ChatLine(1, 0x11, 7, "Korvane 2.1 (beta.1) Feb 10 2004 14:49:51 (SECURE)");
    const struct {
        const char* text;
        bool puretech;
        std::vector<std::string> answers;
    } cases[] = {
        {"~", true, kCommandList},
        {"~", false, {kCommandList[0]}},
        {"~c", false, {kCommandList[0]}},
        {"~commands", true, kCommandList},
        {"~cl", true, kClan},
        {"~cl", false, {}},
        {"~t", false, {time}},  // without "/time:" too
        {"~time", true, {time}},
        {"~te", true, Join({kIs, kClan, kMixed})},
        {"~te", false, {}},
        {"~v", false, {version}},
        {"~version", true, {version}},
        {"~i", true, kIs},
        {"~m", true, kMixed},
        {"~is", false, {}},
        {"~clan", false, {}},
        {"~mixed", false, {}},
        {"~tech", false, {}},
        {"~times", true, {}},
        {"~time now", true, {}},
        {"~Commands", true, {}},
        {"~TIME", true, {}},
        {"~~", true, {}},
        {"time", true, {}},
        {" ~time", true, {}},
        {"hello", true, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text) + (c.puretech ? " with /puretech" : ""));
        CommandsWorld world(kRoster, c.puretech);
        world.settings.versionNotice = false;  // "~version" answers all the same
        EXPECT_THAT(world.Answers(c.text), ElementsAreArray(c.answers));
    }
}

TEST(ChatCommands, AMixedReportWithNobodyMixingSaysSoAndAnEmptyOneSaysNothing) {
    CommandsWorld world({{0x11, "Ada", kTechClan, kTechClan}, {0x12, "Bo", kTechNA, kTechNA}});
    EXPECT_THAT(world.Answers("~mixed"), ElementsAre(Reply("No puretech violations")));
    EXPECT_THAT(world.Answers("~is"), IsEmpty());
    EXPECT_THAT(world.Answers("~tech"),
                ElementsAre(Reply("Valid: Ada: Clan"), Reply("No puretech violations")));
}

TEST(ChatCommands, AReportNamesAtMostSixtyFourPlayersAndCountsTheRest) {
    std::vector<Player> roster;
    std::vector<std::string> names;
    for (uint32_t n = 0; n < 70; ++n) {
        names.push_back("P" + std::to_string(n));
    }
    for (uint32_t n = 0; n < 70; ++n) {
        roster.push_back({0x11 + n, names[n].c_str(), kTechIS, kTechMixed});
    }
    CommandsWorld world(roster);
    const std::vector<std::string> lines = world.Answers("~mixed");
    ASSERT_EQ(lines.size(), 65u);
    EXPECT_EQ(lines.front(), Reply("Violation: P69: Mixed"));
    EXPECT_EQ(lines[63], Reply("Violation: P6: Mixed"));
    EXPECT_EQ(lines.back(), Reply("...and 6 more"));
}

TEST(ChatCommands, PlayersWhoHaveLeftAreStillListedUntilTheirRecordGoes) {
    CommandsWorld world({{0x11, "Ada", kTechIS, kTechIS}, {0x12, "Bo", kTechIS, kTechIS}});
    world.players.records().Front()->active = false;
    EXPECT_THAT(world.Answers("~is"), ElementsAre(Reply("Valid: Bo: IS"), Reply("Valid: Ada: IS")));
}

TEST(ChatCommands, RepeatsAreSuppressedWithinAnAnswerAndEveryChatTextLiftsThat) {
    CommandsWorld world({{0x11, "Hal", kTechIS, kTechIS}, {0x12, "Hal", kTechIS, kTechIS}});
    const std::string hal = Reply("Valid: Hal: IS");
    // Two players of the same name and tech make the same line twice in a row.
    EXPECT_THAT(world.Answers("~is"), ElementsAre(hal));
    EXPECT_THAT(world.Answers("~is"), ElementsAre(hal));

    // A report straight after the last one is suppressed; any chat text in between, command or
    // not, lets it out again.
    world.commands.ReportPureTech(0x11, kTechIS);
    EXPECT_THAT(world.Answers("hello"), IsEmpty());
    world.commands.ReportPureTech(0x11, kTechIS);
    EXPECT_THAT(world.Received(), ElementsAre(hal, hal, hal));
}

TEST(ChatCommands, InTestAndSilentModeTheTimeIsStillPrintedButNothingSent) {
    for (const bool test : {true, false}) {
        SCOPED_TRACE(test ? "/test" : "/silent");
        CommandsWorld world(kRoster);
        world.settings.testMode = test;
        world.settings.silent = !test;
        EXPECT_THAT(world.Answers("~time"), IsEmpty());
        EXPECT_THAT(world.Answers("~tech"), IsEmpty());
        EXPECT_THAT(world.LogLines(), ElementsAre(kNow));
    }
}

}  // namespace
}  // namespace korvane
