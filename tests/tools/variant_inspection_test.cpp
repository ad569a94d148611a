// The variant inspector on containers made by the variant builder: the guard's verdict and
// reason for each road (legal, every forbidden subsystem, the tech classes, no verdict at all,
// too much data), the listing beside it, bytes of any kind, the JSON form and the exit status
// of the built program over several files.
#include "tools/variant_inspection.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/tools/variant_test_support.h"
#include "tools/inspection_json.h"
#include "tools/inspection_text.h"
#include "tools/little_endian.h"
#include "tools/variant_builder.h"

namespace korvane::tools {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

constexpr uint32_t Id(uint32_t high) {
    return high * 65536 + 1;
}
constexpr uint32_t kArgus = Id(950);  // IS, no subsystem permitted
constexpr uint32_t kAtlas = Id(958);  // IS: ECM, BAP, LAMS, IFF, Gyro
constexpr uint32_t kMadCat = Id(1062);
constexpr uint32_t kCameraShip = 0;
constexpr uint16_t kEcm = 813;
constexpr uint16_t kLargeLaser = 888;    // IS
constexpr uint16_t kErLargeLaser = 885;  // Clan

std::vector<uint8_t> Built(uint32_t chassis, std::vector<uint16_t> ids,
                           const std::string& name = "Brawler", size_t totalSize = 0) {
    std::vector<ComponentSpec> components;
    for (uint16_t id : ids) {
        components.push_back({id, 108});
    }
    return BuildVariant(Variant(chassis, components, name, totalSize));
}

Inspection Inspect(const std::vector<uint8_t>& bytes) {
    return InspectVariant("test.variant.mw4", bytes, bytes.size());
}

struct VerdictCase {
    std::string what;
    std::function<std::vector<uint8_t>()> bytes;
    InspectionStatus status;
    std::string reason;  // the whole reason for a verdict, a part of it for none
    std::vector<std::string> guardLog;
};

void PrintTo(const VerdictCase& c, std::ostream* out) {
    *out << c.what;
}

std::vector<VerdictCase> VerdictCases() {
    std::vector<VerdictCase> cases = {
        {"legal",
         [] {
             return Built(kAtlas, {kEcm, kLargeLaser});
         },
         InspectionStatus::legal,
         "",
         {}},
        {"exactly the upload limit",
         [] { return Built(kAtlas, {kEcm}, "Big", 16384); },
         InspectionStatus::legal,
         "",
         {}},
        {"one byte over the upload limit",
         [] { return Built(kAtlas, {kEcm}, "Big", 16385); },
         InspectionStatus::illegal,
         "Something funky with that Unknown 'Unknown'",
         {"Unknown config 'Unknown' is INVALID: Too much data (16385)"}},
        {"over the upload limit and no container",
         [] { return std::vector<uint8_t>(20000, 'x'); },
         InspectionStatus::unreadable,
         "does not begin with \"#VBD\": not a variant container; uploaded, its 20000 bytes",
         {"Unknown config 'Unknown' is INVALID: Too much data (20000)"}},
        {"unknown chassis",
         [] { return Built(0x12340001, {kEcm}); },
         InspectionStatus::unreadable,
         "unknown chassis id 12340001: the guard logs \"Could not determine chassis 12340001\"",
         {"Could not determine chassis 12340001"}},
        {"one byte more than the directory",
         [] {
             std::vector<uint8_t> bytes = Built(kAtlas, {kEcm});
             bytes.push_back(0);
             return bytes;
         },
         InspectionStatus::unreadable,
         "the directory adds up to",
         {}},
        {"truncated",
         [] {
             std::vector<uint8_t> bytes = Built(kAtlas, {kEcm});
             bytes.resize(bytes.size() - 10);
             return bytes;
         },
         InspectionStatus::unreadable,
         "with /collect saves it",
         {}},
        {"section outside the file",
         [] {
             std::vector<uint8_t> bytes = Built(kAtlas, {kEcm});
             // Section 1's offset moved far past the end; the lengths still add up.
             const size_t entry1 = kContainerHeaderLength + kDirectoryEntryLength +
                                   bytes[kContainerHeaderLength + kEntryNameLengthField];
             PutU32(bytes, entry1 + kEntrySectionOffsetField, 0x100000);
             return bytes;
         },
         InspectionStatus::unreadable,
         "section 1 (",
         {}},
        {"no #VBD",
         [] { return Bytes("#VBX and more"); },
         InspectionStatus::unreadable,
         "does not begin with \"#VBD\"",
         {}},
        {"shorter than the magic",
         [] { return Bytes("#VB"); },
         InspectionStatus::unreadable,
         "too short to hold the \"#VBD\" magic",
         {}},
        {"no component section",
         [] {
             const std::vector<SectionSpec> sections = {
                 {std::string(kVariantNamePrefix) + "Half", {}},
                 {"chassis", LzwEncode(ChassisRecord(kAtlas))}};
             return BuildContainer(sections);
         },
         InspectionStatus::unreadable,
         "no component section (2); the guard checks no component",
         {}},
    };
    // Every subsystem on a chassis that may carry none of them.
    const struct {
        uint16_t id;
        std::string label;
        std::string reason;
    } subsystems[] = {
        {808, "OPTICS", "Illegal Optics subsystem"}, {809, "GYRO", "Illegal Gyro subsystem"},
        {810, "IFF", "Illegal IFF subsystem"},       {812, "BAP", "Illegal BAP subsystem"},
        {813, "ECM", "Illegal ECM subsystem"},       {815, "JJ", "Illegal Jump Jets subsystem"},
        {816, "LAMS", "Illegal LAMS subsystem"},
    };
    for (const auto& s : subsystems) {
        const uint16_t id = s.id;
        cases.push_back({s.label + " on an Argus",
                         [id] {
                             return Built(kArgus, {kLargeLaser, id}, "Scout");
                         },
                         InspectionStatus::illegal,
                         s.reason + " on 'Scout'",
                         {s.label + " Subsystem: INVALID",
                          "Argus config 'Scout' is INVALID: Illegal components"}});
    }
    return cases;
}

class VerdictTest : public ::testing::TestWithParam<VerdictCase> {};

TEST_P(VerdictTest, IsTheGuards) {
    const VerdictCase& c = GetParam();
    const Inspection seen = Inspect(c.bytes());
    EXPECT_EQ(seen.status, c.status) << seen.reason;
    if (c.status == InspectionStatus::unreadable) {
        EXPECT_THAT(seen.reason, HasSubstr(c.reason));
    } else {
        EXPECT_EQ(seen.reason, c.reason);
    }
    EXPECT_EQ(seen.guardLog, c.guardLog);
    // The text form ends in the verdict.
    EXPECT_THAT(RenderText(seen),
                HasSubstr(std::string("  verdict: ") +
                          (c.status == InspectionStatus::legal     ? "LEGAL\n"
                           : c.status == InspectionStatus::illegal ? "ILLEGAL: "
                                                                   : "UNREADABLE: ")));
}

INSTANTIATE_TEST_SUITE_P(Inspector, VerdictTest, ::testing::ValuesIn(VerdictCases()),
                         [](const ::testing::TestParamInfo<VerdictCase>& param) {
                             std::string name;
                             for (const char c : param.param.what) {
                                 name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             }
                             return name;
                         });

TEST(InspectorTechClass, IsTheGuardsLabel) {
    const struct {
        uint32_t chassis;
        std::vector<uint16_t> ids;
        std::string label;
    } cases[] = {
        {kAtlas, {kLargeLaser}, "IS Tech"},
        {kMadCat, {kErLargeLaser}, "Clan Tech"},
        {kAtlas, {kErLargeLaser}, "Mixed Tech IIC"},
        {kAtlas, {kErLargeLaser, kLargeLaser}, "Mixed Tech"},
        {kMadCat, {kLargeLaser}, "Mixed Tech"},
        {kCameraShip, {}, "Observer"},
    };
    for (const auto& c : cases) {
        const Inspection seen = Inspect(Built(c.chassis, c.ids));
        EXPECT_EQ(seen.status, InspectionStatus::legal);
        EXPECT_EQ(seen.techClass, c.label) << c.chassis;
    }
}

TEST(InspectorListing, ShowsDirectoryChassisAndEveryComponent) {
    // A weapon, an id of neither table, a permitted and a forbidden subsystem, and one entry
    // after it that the guard never reaches.
    const std::vector<uint8_t> bytes = BuildVariant(Variant(
        kAtlas, {{kLargeLaser, 376}, {811, 112}, {kEcm, 108}, {815, 152}, {888, 236}}, "Lister"));
    const Inspection seen = Inspect(bytes);

    ASSERT_TRUE(seen.directory);
    EXPECT_EQ(seen.directory->declaredCount, 3u);
    EXPECT_EQ(seen.directory->containerLength, bytes.size());
    ASSERT_EQ(seen.directory->sections.size(), 3u);
    EXPECT_EQ(seen.directory->sections[0].name, std::string(kVariantNamePrefix) + "Lister");
    EXPECT_EQ(seen.name, "Lister");
    ASSERT_TRUE(seen.chassis && seen.chassis->row);
    EXPECT_EQ(seen.chassis->id, kAtlas);

    ASSERT_EQ(seen.components.size(), 5u);
    const std::vector<size_t> offsets = {2, 378, 490, 598, 750};
    for (size_t i = 0; i < offsets.size(); ++i) {
        EXPECT_EQ(seen.components[i].offset, offsets[i]) << i;
    }
    EXPECT_EQ(seen.components[0].kind, ComponentKind::weapon);
    EXPECT_EQ(seen.components[0].weapon->name, "Large Laser");
    EXPECT_EQ(seen.components[1].kind, ComponentKind::unknownId);
    EXPECT_EQ(seen.components[2].kind, ComponentKind::subsystem);
    EXPECT_EQ(seen.components[2].permitted, true);
    EXPECT_EQ(seen.components[3].permitted, false);
    EXPECT_TRUE(seen.components[3].checkedByGuard);
    EXPECT_FALSE(seen.components[4].checkedByGuard);
    EXPECT_EQ(seen.reason, "Illegal Jump Jets subsystem on 'Lister'");

    const std::string text = RenderText(seen);
    EXPECT_THAT(text, HasSubstr("chassis: Atlas (ATL), id 03be0001, IS; permits ECM BAP LAMS IFF "
                                "GYRO; not JJ OPTICS\n"));
    EXPECT_THAT(text,
                HasSubstr("offset   598  length 152  id   815  subsystem JJ: NOT PERMITTED\n"));
    EXPECT_THAT(text, HasSubstr("unknown id: neither a weapon nor a subsystem, ignored\n"));
    EXPECT_THAT(text, HasSubstr("(not checked: the guard stopped before)\n"));
}

TEST(InspectorListing, StopsWhereTheGuardStopsReading) {
    // A length the game does not write: the guard logs it and judges on what came before.
    const Inspection odd =
        Inspect(BuildVariant(Variant(kAtlas, {{kLargeLaser, 108}, {815, 100}, {816, 108}}, "Odd")));
    EXPECT_EQ(odd.status, InspectionStatus::legal);
    EXPECT_THAT(odd.guardLog, ElementsAre(HasSubstr("unhandled subsystem length=0x0064")));
    ASSERT_EQ(odd.components.size(), 2u);
    EXPECT_EQ(odd.components[1].kind, ComponentKind::unknownLength);
    EXPECT_EQ(odd.components[1].length, 100);
    EXPECT_THAT(odd.note, HasSubstr("offset 110"));

    // A last entry whose length runs past the list: its first 88 bytes are there, so it is read;
    // the next one would start past the end.
    const Inspection longLast =
        Inspect(BuildVariant(Variant(kAtlas, {{kLargeLaser, 108}, {kEcm, 376}}, "Long")));
    EXPECT_EQ(longLast.status, InspectionStatus::legal);
    EXPECT_EQ(longLast.components.size(), 2u);
}

TEST(InspectorLargeFile, GetsTheGuardsVerdictOnWhatWasRead) {
    // Only the first 1 MiB of a 3 MiB file is read; the guard refuses it by its size alone.
    const std::vector<uint8_t> head = Built(kAtlas, {kEcm});
    const Inspection seen = InspectVariant("big", head, 3u << 20);
    EXPECT_TRUE(seen.readCapped);
    EXPECT_EQ(seen.status, InspectionStatus::illegal);
    EXPECT_THAT(seen.guardLog, ElementsAre(HasSubstr("Too much data (3145728)")));
    EXPECT_THAT(seen.note, HasSubstr("only the first"));
}

// Bytes of any kind: whatever they hold, the inspection ends, and a verdict-less end always
// says why.
TEST(InspectorAnyBytes, NeverFailsAndAlwaysSaysWhy) {
    std::mt19937 random(20261209);
    const std::vector<uint8_t> legal = Built(kAtlas, {kEcm, kLargeLaser, 815});
    for (int round = 0; round < 400; ++round) {
        std::vector<uint8_t> bytes;
        if (round % 2 == 0) {
            // Random bytes behind the magic.
            bytes = Bytes("#VBD");
            bytes.resize(4 + random() % 600);
            for (size_t i = 4; i < bytes.size(); ++i) {
                bytes[i] = static_cast<uint8_t>(random());
            }
        } else {
            // A real container with a few bytes changed.
            bytes = legal;
            for (int flips = 0; flips < 4; ++flips) {
                bytes[4 + random() % (bytes.size() - 4)] = static_cast<uint8_t>(random());
            }
        }
        const Inspection seen = Inspect(bytes);
        if (seen.status != InspectionStatus::legal) {
            EXPECT_FALSE(seen.reason.empty()) << round;
        }
        EXPECT_FALSE(RenderText(seen).empty());
        EXPECT_TRUE(nlohmann::json::accept(RenderJson({&seen, 1}))) << round;
    }
}

TEST(InspectorJson, ParsesAndEscapesHostileNames) {
    // A name with a quote, a backslash, a control character and Latin-1 bytes.
    const std::string hostile = "Q\"B\\n\x01\x7f\xe9\xff";
    const Inspection seen = Inspect(Built(kArgus, {kEcm}, hostile));
    const std::string json = RenderJson({&seen, 1});
    EXPECT_THAT(json, HasSubstr(R"("name":"Q\"B\\n\u0001\u007f\u00e9\u00ff")"));

    const nlohmann::json parsed = nlohmann::json::parse(json);
    ASSERT_TRUE(parsed.is_array());
    ASSERT_EQ(parsed.size(), 1u);
    const nlohmann::json& file = parsed[0];
    EXPECT_EQ(file["status"], "illegal");
    // The Latin-1 bytes come back as the characters of the same values.
    EXPECT_EQ(file["name"], "Q\"B\\n\x01\x7f\xc3\xa9\xc3\xbf");
    EXPECT_EQ(file["chassis"]["name"], "Argus");
    EXPECT_EQ(file["chassis"]["permits"]["ECM"], false);
    EXPECT_EQ(file["components"][0]["kind"], "subsystem");
    EXPECT_EQ(file["components"][0]["permitted"], false);
    EXPECT_EQ(file["guardLog"][0], "ECM Subsystem: INVALID");
    EXPECT_EQ(file["directory"]["consistent"], true);
    EXPECT_EQ(file["techClass"], "IS Tech");

    // The text form shows the same name without a raw control byte.
    EXPECT_THAT(RenderText(seen), HasSubstr("variant: Q\"B\\\\n\\x01\\x7f\\xe9\\xff\n"));
}

// The built program over several files: the exit status is the worst of them.
class InspectProgramTest : public ::testing::Test {
  protected:
    InspectProgramTest() : dir_(korvane::testing::FreshDirectory("inspect-program")) {
        Write("legal.mw4", Built(kAtlas, {kEcm}));
        Write("illegal.mw4", Built(kAtlas, {815}));
        Write("garbage.mw4", Bytes("not a container"));
    }
    ~InspectProgramTest() override { std::filesystem::remove_all(dir_); }

    void Write(const std::string& name, const std::vector<uint8_t>& bytes) {
        std::ofstream(dir_ / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }
    std::optional<int> Run(const std::vector<std::string>& args) {
        korvane::testing::ChildProcess::Options options =
            korvane::testing::ChildProcess::In(dir_, dir_ / "out");
        options.stderrFile = dir_ / "err";
        korvane::testing::ChildProcess child(KORVANE_INSPECT_EXE, args, options);
        return child.Wait(30s);
    }
    std::string Out() const { return korvane::testing::ReadWholeFile(dir_ / "out"); }
    std::string Err() const { return korvane::testing::ReadWholeFile(dir_ / "err"); }

    std::filesystem::path dir_;
};

TEST_F(InspectProgramTest, ExitStatusIsTheWorstFile) {
    const struct {
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {{"legal.mw4"}, 0},
        {{"legal.mw4", "illegal.mw4"}, 1},
        {{"illegal.mw4", "legal.mw4", "garbage.mw4"}, 2},
        {{"legal.mw4", "missing.mw4"}, 2},
        {{"--json", "illegal.mw4"}, 1},
        {{}, 2},
        {{"--frobnicate", "legal.mw4"}, 2},
        {{"--help"}, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Run(c.args), c.status) << ::testing::PrintToString(c.args) << Err();
    }
}

TEST_F(InspectProgramTest, SaysWhyAFileCannotBeJudged) {
    EXPECT_EQ(Run({"garbage.mw4", "missing.mw4"}), 2);
    EXPECT_THAT(Err(), HasSubstr("garbage.mw4: does not begin with \"#VBD\""));
    EXPECT_THAT(Err(), HasSubstr("missing.mw4: cannot be read"));
    EXPECT_EQ(Run({"--bogus"}), 2);
    EXPECT_THAT(Err(), HasSubstr("usage: korvane-inspect [--json] FILE..."));
}

TEST_F(InspectProgramTest, JsonHasOneObjectPerFile) {
    EXPECT_EQ(Run({"--json", "legal.mw4", "illegal.mw4", "garbage.mw4"}), 2);
    const nlohmann::json parsed = nlohmann::json::parse(Out());
    ASSERT_EQ(parsed.size(), 3u);
    EXPECT_EQ(parsed[0]["status"], "legal");
    EXPECT_EQ(parsed[1]["status"], "illegal");
    EXPECT_EQ(parsed[1]["reason"], "Illegal Jump Jets subsystem on 'Brawler'");
    EXPECT_EQ(parsed[2]["status"], "unreadable");
    EXPECT_EQ(parsed[2]["directory"], nullptr);
}

TEST_F(InspectProgramTest, ReadsAtMostOneMebibyteOfAFile) {
    std::vector<uint8_t> big = Built(kAtlas, {kEcm});
    big.resize(kInspectReadLimit + 10);
    Write("big.mw4", big);
    EXPECT_EQ(Run({"--json", "big.mw4"}), 1);
    const nlohmann::json parsed = nlohmann::json::parse(Out());
    ASSERT_EQ(parsed.size(), 1u);
    EXPECT_EQ(parsed[0]["size"], kInspectReadLimit + 10);
    EXPECT_EQ(parsed[0]["readCapped"], true);
    EXPECT_EQ(parsed[0]["guardLog"][0],
              "Unknown config 'Unknown' is INVALID: Too much data (1048586)");
    EXPECT_EQ(parsed[0]["note"], "the file holds 1048586 bytes; only the first 1048576 were read");
}

}  // namespace
}  // namespace korvane::tools
