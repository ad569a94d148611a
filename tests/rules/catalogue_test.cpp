// The catalogue's data, checked in shapes other than its own rows so that a slip in one row
// shows, and the three lookups that copy it into a player's record.
#include "rules/catalogue.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "platform/clock.h"
#include "tests/rules/rules_world.h"

namespace korvane {
namespace {

using korvane::testing::Id;

// One character per chassis row, row 0 first.
std::string Column(Subsystem subsystem) {
    std::string bits;
    for (const ChassisRow& row : ChassisCatalogue) {
        bits += static_cast<char>('0' + row.permits[subsystem]);
    }
    return bits;
}

TEST(ChassisCatalogue, PermissionsAndTechColumns) {
    const struct {
        Subsystem subsystem;
        const char* bits;
    } columns[] = {
        {kEcm, "001010000011110000000110011110101010110110011000010111"},
        {kBap, "001011101000011111110111100001010101000000000111111000"},
        {kJumpJets, "000010111001100010001001101101000000101000011100001011"},
        {kLams, "001111111111111111111111111111111111111111111111111111"},
        {kOptics, "000000001000000101000001101000110000000000000000001010"},
        {kIff, "001001000010100000001110000100001010000000000011000001"},
        {kGyro, "001101110010000000101110000000000000001000110100000100"},
    };
    ASSERT_EQ(ChassisCatalogue.size(), 54u);
    for (const auto& column : columns) {
        EXPECT_EQ(Column(column.subsystem), column.bits) << "column " << column.subsystem;
    }
    std::string tech;
    for (const ChassisRow& row : ChassisCatalogue) {
        tech += static_cast<char>('0' + row.tech);
    }
    EXPECT_EQ(tech, "011111112211121222121112212121221112211122112111122121");
}

TEST(ChassisCatalogue, IdsFollowTheGamesNumbering) {
    // The Camera Ship is the one exception: selection low half 2, variant id 0.
    EXPECT_EQ(ChassisCatalogue[0].name, "Camera Ship");
    EXPECT_EQ(ChassisCatalogue[0].selectionId, Id(574, 2));
    EXPECT_EQ(ChassisCatalogue[0].variantChassisId, 0u);
    // The original chassis are numbered eight apart, each variant id three below its selection.
    for (uint32_t row = 1; row <= 44; ++row) {
        EXPECT_EQ(ChassisCatalogue[row].selectionId, Id(945 + 8 * row)) << "row " << row;
        EXPECT_EQ(ChassisCatalogue[row].variantChassisId, Id(942 + 8 * row)) << "row " << row;
    }
    // Later chassis: the variant id eight above the selection.
    const uint32_t later[] = {8941, 9109, 9246, 9410, 9679, 10195, 10030, 9880, 10414};
    for (uint32_t n = 0; n < std::size(later); ++n) {
        const ChassisRow& row = ChassisCatalogue[45 + n];
        EXPECT_EQ(row.selectionId, Id(later[n])) << row.name;
        EXPECT_EQ(row.variantChassisId, Id(later[n] + 8)) << row.name;
    }
    std::set<uint32_t> selections;
    std::set<uint32_t> variants;
    for (const ChassisRow& row : ChassisCatalogue) {
        selections.insert(row.selectionId);
        variants.insert(row.variantChassisId);
    }
    EXPECT_EQ(selections.size(), 54u);
    EXPECT_EQ(variants.size(), 54u);
}

TEST(WeaponCatalogue, TechColumnAndTheOneSharedId) {
    ASSERT_EQ(WeaponCatalogue.size(), 92u);
    std::string tech;
    std::multiset<uint16_t> ids;
    for (const WeaponRow& row : WeaponCatalogue) {
        tech += static_cast<char>('0' + row.tech);
        ids.insert(row.id);
    }
    EXPECT_EQ(tech,
              "11122211111122212121221111222211112222111222111212111222211111121111111112211111"
              "122221112121");
    // 896 is both the Clan Flamer (row 18) and the Clan Flare (row 49); every other id is
    // unique, and none is a subsystem's.
    EXPECT_EQ(ids.count(896), 2u);
    EXPECT_EQ(std::set<uint16_t>(ids.begin(), ids.end()).size(), 91u);
    EXPECT_EQ(WeaponCatalogue[18].name, "Clan Flamer");
    EXPECT_EQ(WeaponCatalogue[49].name, "Clan Flare");
    for (int subsystem : {808, 809, 810, 811, 812, 813, 814, 815, 816}) {
        EXPECT_EQ(ids.count(static_cast<uint16_t>(subsystem)), 0u) << subsystem;
    }
}

class CatalogueLookup : public ::testing::Test {
  protected:
    ManualClock clock_;
    PlayerRecord record_{0x2a, clock_};
};

TEST_F(CatalogueLookup, StockSelection) {
    const struct {
        uint32_t id;
        const char* chassis;
        int32_t index;
        uint32_t tech;
    } cases[] = {
        {Id(574, 2), "Camera Ship", 0, kTechNA},
        {Id(961), "Atlas", 2, kTechIS},
        {Id(1065), "Mad Cat", 15, kTechClan},
        {Id(10414), "Urban Mech IS", 53, kTechIS},
    };
    for (const auto& c : cases) {
        record_.chassisTech = kTechClan;
        record_.componentTech = kTechIS;
        LookUpSelectedChassis(record_, c.id);
        EXPECT_EQ(record_.chassisName, c.chassis);
        EXPECT_EQ(record_.variantName, "Stock");
        EXPECT_EQ(record_.chassisIndex, c.index);
        EXPECT_EQ(record_.configOk, 1);
        EXPECT_EQ(record_.chassisTech, c.tech);
        EXPECT_EQ(record_.componentTech, kTechNA);
        EXPECT_EQ(record_.previousChassisTech, kTechClan);
        EXPECT_EQ(record_.previousComponentTech, kTechIS);
    }
}

TEST_F(CatalogueLookup, UnknownStockSelectionKeepsTheTech) {
    // Atlas's variant id is no selection id, and the Camera Ship's selection needs low half 2.
    for (uint32_t id : {Id(958), Id(574), 0u}) {
        record_.chassisTech = kTechIS;
        record_.componentTech = kTechClan;
        record_.previousChassisTech = kTechNA;
        LookUpSelectedChassis(record_, id);
        EXPECT_EQ(record_.chassisName, "Unknown");
        EXPECT_EQ(record_.variantName, "Stock");
        EXPECT_EQ(record_.chassisIndex, -1);
        EXPECT_EQ(record_.configOk, 0);
        EXPECT_EQ(record_.chassisTech, kTechIS);
        EXPECT_EQ(record_.componentTech, kTechClan);
        EXPECT_EQ(record_.previousChassisTech, kTechNA);
    }
}

TEST_F(CatalogueLookup, VariantChassis) {
    record_.configOk = 0;
    record_.variantName.Set("Brawler");
    ASSERT_TRUE(LookUpVariantChassis(record_, 0));
    EXPECT_EQ(record_.chassisName, "Camera Ship");
    EXPECT_EQ(record_.chassisIndex, 0);
    ASSERT_TRUE(LookUpVariantChassis(record_, Id(958)));
    EXPECT_EQ(record_.chassisName, "Atlas");
    EXPECT_EQ(record_.chassisIndex, 2);
    EXPECT_EQ(record_.chassisTech, kTechIS);
    EXPECT_EQ(record_.previousChassisTech, kTechNA);  // the Camera Ship's
    // The verdict and the variant's name are the decoder's.
    EXPECT_EQ(record_.configOk, 0);
    EXPECT_EQ(record_.variantName, "Brawler");

    record_.componentTech = kTechClan;
    EXPECT_FALSE(LookUpVariantChassis(record_, Id(961)));  // Atlas's selection id
    EXPECT_EQ(record_.chassisIndex, -1);
    EXPECT_EQ(record_.chassisName, "Atlas");
    EXPECT_EQ(record_.chassisTech, kTechIS);
    EXPECT_EQ(record_.componentTech, kTechClan);
}

TEST_F(CatalogueLookup, WeaponsAddTheirTech) {
    const struct {
        std::vector<uint16_t> ids;
        uint32_t tech;
    } cases[] = {
        {{888}, kTechIS},
        {{885}, kTechClan},
        {{888, 885}, kTechMixed},
        {{896}, kTechClan},
        {{811, 814}, kTechNA},
        {{10743, 10408}, kTechMixed},
        {{867, 891, 855}, kTechClan},
        {{879, 9629}, kTechIS},
    };
    for (const auto& c : cases) {
        record_.componentTech = kTechNA;
        for (uint16_t id : c.ids) {
            LookUpWeapon(record_, id);
        }
        EXPECT_EQ(record_.componentTech, c.tech) << ::testing::PrintToString(c.ids);
    }
}

}  // namespace
}  // namespace korvane
