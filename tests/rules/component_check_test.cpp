// The walk over a variant's component list: subsystems against the chassis's permissions,
// weapons' tech, and entries the walk cannot take.
#include "rules/component_check.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "capture/byte_reader.h"
#include "rules/catalogue.h"
#include "rules/tech_base.h"
#include "tests/link/link_world.h"
#include "tools/variant_builder.h"

namespace korvane {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using tools::ComponentSpec;

constexpr int32_t kArgus = 1;
constexpr int32_t kAtlas = 2;
constexpr int32_t kAwesome = 3;
constexpr int32_t kBlackKnight = 4;
constexpr int32_t kCougar = 8;

class ComponentCheckTest : public ::testing::Test, public korvane::testing::LinkWorld {
  protected:
    // Walks the list on a fresh valid configuration of the chassis in `row`.
    void Walk(int32_t row, const std::vector<uint8_t>& list) {
        player.chassisIndex = row;
        player.configOk = 1;
        player.componentTech = kTechNA;
        reason.Set("");
        console.ClearOutput();
        check.CheckComponents(player, list);
    }
    // Lengths the game never writes are put in after the list is built.
    void WalkComponents(int32_t row, const std::vector<ComponentSpec>& components) {
        std::vector<ComponentSpec> buildable = components;
        for (ComponentSpec& component : buildable) {
            component.length = std::max<int16_t>(component.length, 108);
        }
        std::vector<uint8_t> list = tools::ComponentList(buildable);
        size_t at = 2;
        for (size_t n = 0; n < components.size(); ++n) {
            list[at] = static_cast<uint8_t>(components[n].length);
            list[at + 1] = static_cast<uint8_t>(static_cast<uint16_t>(components[n].length) >> 8);
            at += static_cast<size_t>(buildable[n].length);
        }
        Walk(row, list);
    }
    static std::string Logged(const std::string& text) {
        return "00000005 \"Unknown\"  [Unknown] [0.0.0.0]: " + text;
    }

    PlayerRecord player{5, clock};
    RejectReason reason;
    ComponentCheck check{log, reason};
};

TEST_F(ComponentCheckTest, EachSubsystemAgainstItsPermission) {
    const struct {
        uint16_t id;
        const char* logged;
        const char* reason;
        int32_t permittedOn;
        int32_t refusedOn;
    } cases[] = {
        {808, "OPTICS Subsystem: INVALID", "Illegal Optics subsystem", kCougar, kAtlas},
        {809, "GYRO Subsystem: INVALID", "Illegal Gyro subsystem", kAtlas, kCougar},
        {810, "IFF Subsystem: INVALID", "Illegal IFF subsystem", kAtlas, kCougar},
        {812, "BAP Subsystem: INVALID", "Illegal BAP subsystem", kAtlas, kAwesome},
        {813, "ECM Subsystem: INVALID", "Illegal ECM subsystem", kAtlas, kAwesome},
        {815, "JJ Subsystem: INVALID", "Illegal Jump Jets subsystem", kBlackKnight, kAtlas},
        {816, "LAMS Subsystem: INVALID", "Illegal LAMS subsystem", kAtlas, kArgus},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.logged);
        WalkComponents(c.permittedOn, {{c.id, 108}});
        EXPECT_EQ(player.configOk, 1);
        EXPECT_EQ(console.output(), "");
        EXPECT_EQ(reason, "");
        EXPECT_EQ(player.componentTech, kTechNA);  // a subsystem is no weapon

        for (int32_t row : {c.refusedOn, kArgus, 0}) {
            WalkComponents(row, {{c.id, 376}});
            EXPECT_EQ(player.configOk, 0);
            EXPECT_THAT(LogLines(), ElementsAre(Logged(c.logged)));
            EXPECT_EQ(reason, c.reason);
        }
    }
}

TEST_F(ComponentCheckTest, WalksTheListInOrder) {
    const struct {
        const char* what;
        std::vector<ComponentSpec> components;
        int32_t configOk;
        uint32_t tech;
        std::vector<std::string> log;
    } cases[] = {
        {"ECM alone", {{813, 108}}, 1, kTechNA, {}},
        {"811 and 814 are weapons of no row", {{811, 112}, {814, 152}}, 1, kTechNA, {}},
        {"two Clan weapons", {{885, 236}, {886, 108}}, 1, kTechClan, {}},
        {"and an IS one", {{885, 236}, {886, 108}, {888, 376}}, 1, kTechMixed, {}},
        {"only the first forbidden subsystem counts",
         {{888, 108}, {815, 108}, {808, 108}, {885, 108}},
         0,
         kTechIS,
         {Logged("JJ Subsystem: INVALID")}},
        {"an unknown length ends the walk; the entries before it count",
         {{885, 108}, {888, 108}, {815, 100}, {808, 108}},
         1,
         kTechMixed,
         {Logged("unhandled subsystem length=0x0064"), ""}},
        {"a negative length",
         {{888, 108}, {815, -2}},
         1,
         kTechIS,
         {Logged("unhandled subsystem length=0xfffffffe"), ""}},
        {"nothing but the two leading bytes", {}, 1, kTechNA, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        WalkComponents(kAtlas, c.components);
        EXPECT_EQ(player.configOk, c.configOk);
        EXPECT_EQ(player.componentTech, c.tech);
        EXPECT_EQ(LogLines(), c.log);
    }
}

TEST_F(ComponentCheckTest, EntryCutShortOfItsIdThrows) {
    std::vector<uint8_t> list = tools::ComponentList(std::vector<ComponentSpec>{{888, 108}});
    const std::vector<uint8_t> whole = list;
    list.resize(list.size() - 108 + 87);  // the id's second byte is missing
    EXPECT_THROW(Walk(kAtlas, list), TruncatedData);
    list = whole;
    list.push_back(0x6C);  // one byte of a next entry
    EXPECT_THROW(Walk(kAtlas, list), TruncatedData);
    EXPECT_EQ(player.componentTech, kTechIS);  // the whole entry before it was checked
    // A length the game never writes, in an entry cut short: cut short, not unhandled.
    list = whole;
    list.insert(list.end(), {50, 0, 1, 2, 3});
    EXPECT_THROW(Walk(kAtlas, list), TruncatedData);
    EXPECT_THAT(console.output(), IsEmpty());
}

}  // namespace
}  // namespace korvane
