#include "app/command_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <optional>
#include <string>
#include <vector>

#include "platform/scripted_console.h"
#include "tests/support/program_args.h"

namespace korvane {
namespace {

struct Parsed {
    CommandLine line;
    std::string output;
};

Parsed Parse(std::vector<std::string> args) {
    const korvane::testing::ProgramArgs argv(std::move(args));
    ScriptedConsole console;
    CommandLine line = ParseCommandLine(argv.argc(), argv.argv(), console);
    return {line, console.output()};
}

TEST(CommandLine, NoArgumentsGiveTheStartValues) {
    Parsed p = Parse({});
    const RunSettings& s = p.line.settings;
    EXPECT_EQ(s.serverPort, 2300);
    EXPECT_EQ(s.portMode, kPortDetected);
    EXPECT_EQ(s.adapterNumber, -1);
    EXPECT_EQ(s.serverAddress, "127.0.0.1");
    EXPECT_FALSE(s.hostGiven);
    EXPECT_EQ(s.timeInterval, 0);
    EXPECT_TRUE(s.versionNotice);
    EXPECT_FALSE(s.replay);
    EXPECT_EQ(p.line.commandLineEcho, "Command line: korvane");
    EXPECT_TRUE(p.output.empty());
}

TEST(CommandLine, EchoKeepsEveryArgumentAsTyped) {
    Parsed p = Parse({"/port:2400", "/adapter:2", "foo"});
    EXPECT_EQ(p.line.commandLineEcho, "Command line: korvane /port:2400 /adapter:2 foo");
    EXPECT_EQ(p.line.settings.portMode, kPortGiven);
    EXPECT_EQ(p.line.settings.serverPort, 2400);
    EXPECT_EQ(p.line.settings.adapterNumber, 2);
}

TEST(CommandLine, PrefixesMatchOverTheirOwnLengthOnly) {
    Parsed p = Parse(
        {"/debugging", "/tester", "/DEBUG", "/silently", "/reports", "/collector", "/puretechs"});
    const RunSettings& s = p.line.settings;
    EXPECT_TRUE(s.debugTrace);  // from /debugging, not /DEBUG
    EXPECT_TRUE(s.testMode);
    EXPECT_TRUE(s.silent);
    EXPECT_TRUE(s.reportSelections);
    EXPECT_TRUE(s.collectVariants);
    EXPECT_TRUE(s.puretech);
    EXPECT_FALSE(Parse({"/DEBUG"}).line.settings.debugTrace);
}

TEST(CommandLine, TimeIntervalNeedsTheColonAndDefaultsToFifteen) {
    EXPECT_EQ(Parse({"/time:"}).line.settings.timeInterval, 15);
    EXPECT_EQ(Parse({"/time:0"}).line.settings.timeInterval, 15);
    EXPECT_EQ(Parse({"/time:-5"}).line.settings.timeInterval, 15);
    EXPECT_EQ(Parse({"/time:abc"}).line.settings.timeInterval, 15);
    EXPECT_EQ(Parse({"/time:1"}).line.settings.timeInterval, 1);
    EXPECT_EQ(Parse({"/time"}).line.settings.timeInterval, 0);
}

TEST(CommandLine, NumbersReadLikeAtoi) {
    EXPECT_EQ(Parse({"/port:abc"}).line.settings.serverPort, 0);
    EXPECT_EQ(Parse({"/port:  12x"}).line.settings.serverPort, 12);
    EXPECT_EQ(Parse({"/port:-7"}).line.settings.serverPort, -7);
    EXPECT_EQ(Parse({"/adapter:+3"}).line.settings.adapterNumber, 3);
    EXPECT_EQ(LeadingNumber("99999999999999999999"), INT32_MAX);
    EXPECT_EQ(LeadingNumber("-99999999999999999999"), INT32_MIN);
    EXPECT_EQ(LeadingNumber(""), 0);
}

TEST(CommandLine, LaterSwitchesOverrideEarlierOnes) {
    EXPECT_TRUE(Parse({"/noversion", "/version"}).line.settings.versionNotice);
    EXPECT_FALSE(Parse({"/version", "/noversion"}).line.settings.versionNotice);
    EXPECT_EQ(Parse({"/port:1", "/port:2"}).line.settings.serverPort, 2);
}

TEST(CommandLine, HostIsCopiedUnchecked) {
    Parsed p = Parse({"/host:not an address"});
    EXPECT_TRUE(p.line.settings.hostGiven);
    EXPECT_EQ(p.line.settings.serverAddress, "not an address");
}

TEST(CommandLine, OverlongHostAndEchoAreCutToTheirFields) {
    const std::string longHost(400, '9');
    Parsed p = Parse({"/host:" + longHost, "tail"});
    EXPECT_EQ(p.line.settings.serverAddress, std::string(255, '9'));
    EXPECT_EQ(p.line.commandLineEcho.size(), 255u);
    EXPECT_EQ(p.line.commandLineEcho.rfind("Command line: korvane /host:999", 0), 0u);
}

TEST(CommandLine, ReplaySwitchNamesTheFile) {
    Parsed p = Parse({"/replay:caps/game.pcap"});
    EXPECT_TRUE(p.line.settings.replay);
    EXPECT_EQ(p.line.settings.replayFile, "caps/game.pcap");
    EXPECT_TRUE(Parse({"/replay:"}).line.settings.replay);
    EXPECT_FALSE(Parse({"/replay"}).line.settings.replay);
    EXPECT_EQ(Parse({"/events:/var/lib/korvane/events.jsonl"}).line.settings.eventsFile,
              "/var/lib/korvane/events.jsonl");
    EXPECT_EQ(Parse({"/events"}).line.settings.eventsFile, std::nullopt);
}

// "/adapter:" takes a decimal number as before, and anything else as the adapter's name; the
// later of two switches wins, whichever form each has.
TEST(CommandLine, AdapterIsANumberOrAName) {
    struct Row {
        std::vector<std::string> args;
        int32_t number;
        std::optional<std::string> name;
        const char* shown;  // on the console's command line line
    };
    const Row rows[] = {
        {{"/adapter:2"}, 2, std::nullopt, "/adapter:2"},
        {{"/adapter:+3"}, 3, std::nullopt, "/adapter:3"},
        {{"/adapter: -1"}, -1, std::nullopt, "/adapter:-1"},
        {{"/adapter:1 "}, 1, std::nullopt, "/adapter:1"},
        {{"/adapter: "}, -1, " ", "/adapter: "},
        {{"/adapter:eth0"}, -1, "eth0", "/adapter:eth0"},
        {{"/adapter:2x"}, -1, "2x", "/adapter:2x"},
        {{"/adapter:-"}, -1, "-", "/adapter:-"},
        {{"/adapter:"}, -1, "", "/adapter:"},
        {{"/adapter:Intel(R) Ethernet"}, -1, "Intel(R) Ethernet", "/adapter:Intel(R) Ethernet"},
        {{"/adapter:eth0", "/adapter:3"}, 3, std::nullopt, "/adapter:3"},
        {{"/adapter:3", "/adapter:lo"}, -1, "lo", "/adapter:lo"},
    };
    for (const Row& row : rows) {
        const RunSettings s = Parse(row.args).line.settings;
        EXPECT_EQ(s.adapterNumber, row.number) << row.args.back();
        EXPECT_EQ(s.adapterName, row.name) << row.args.back();
        EXPECT_EQ(s.AdapterSwitch(), row.shown);
    }
}

TEST(CommandLine, HelpPrintsUsageAndStopsReading) {
    Parsed p = Parse({"/test", "/?", "/debug"});
    EXPECT_TRUE(p.line.usageShown);
    EXPECT_TRUE(p.line.settings.testMode);
    EXPECT_FALSE(p.line.settings.debugTrace);
    EXPECT_EQ(p.output, UsageText());
    EXPECT_TRUE(Parse({"/?x"}).line.usageShown);
}

TEST(CommandLine, UsageTextLinesStandInOrder) {
    const std::string& u = UsageText();
    EXPECT_EQ(u.rfind("Syntax: korvane [<switches>]\nThe switches available in this version:\n\n"
                      "/adapter:<number>        The adapter to use (default user select)\n",
                      0),
              0u);
    EXPECT_NE(u.find("/debug                   Print's out debug info.\n/host:"),
              std::string::npos);
    EXPECT_NE(u.find("/?                       Show help.\n\n\nThe chat commands available in "
                     "this version:\n\n~commands"),
              std::string::npos);
    const std::string last = "~version                 Shows the current korvane version\n";
    EXPECT_EQ(u.substr(u.size() - last.size()), last);
    EXPECT_EQ(std::count(u.begin(), u.end(), '\n'), 27);  // 23 lines, three with blank lines
}

}  // namespace
}  // namespace korvane
