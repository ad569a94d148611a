// The manual pages against the programs they describe: every switch and chat command the
// guard's usage text lists, and every option of the inspector's help, is documented, and both
// pages format without a warning. A switch added to a program without its page fails here.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace korvane {
namespace {

using korvane::testing::ChildProcess;
using korvane::testing::FreshDirectory;
using korvane::testing::ReadWholeFile;
using korvane::testing::SplitLines;
using namespace std::chrono_literals;

const std::filesystem::path kManDir = std::filesystem::path(KORVANE_SOURCE_DIR) / "man";

struct ManualPage {
    const char* page;
    const char* program;
    const char* helpSwitch;
    // What begins a line of the help that names a switch or command: the name is its first word.
    const char* namePattern;
};

void PrintTo(const ManualPage& page, std::ostream* out) {
    *out << page.page;
}

// What `program helpSwitch` prints on standard output and standard error, and its exit status.
std::string HelpOf(const ManualPage& page, const std::filesystem::path& dir) {
    ChildProcess child(page.program, {page.helpSwitch}, ChildProcess::In(dir, dir / "help.out"));
    EXPECT_EQ(child.Wait(10s), 0) << page.program << " " << page.helpSwitch;
    return ReadWholeFile(dir / "help.out");
}

class ManualPages : public ::testing::TestWithParam<ManualPage> {};

TEST_P(ManualPages, DocumentEveryNameTheHelpListsAndFormatCleanly) {
    const ManualPage& page = GetParam();
    const auto dir = FreshDirectory("man");
    const std::string source = ReadWholeFile(kManDir / page.page);
    ASSERT_FALSE(source.empty()) << page.page;

    const std::regex name(page.namePattern);
    std::vector<std::string> names;
    for (const std::string& line : SplitLines(HelpOf(page, dir))) {
        std::smatch match;
        if (std::regex_search(line, match, name)) {
            names.push_back(match[1]);
        }
    }
    ASSERT_GE(names.size(), 2u) << "no names found in the help of " << page.program;
    for (const std::string& documented : names) {
        // roff writes a minus sign as "\-"; a page may use either.
        const std::string escaped = std::regex_replace(documented, std::regex("-"), "\\-");
        EXPECT_TRUE(source.find(documented) != std::string::npos ||
                    source.find(escaped) != std::string::npos)
            << documented << " is not in " << page.page;
    }

    if (!std::filesystem::exists("/usr/bin/groff")) {
        GTEST_SKIP() << "Skipped the formatting check: groff is not installed (groff-base)";
    }
    ChildProcess groff("/usr/bin/groff",
                       {"-man", "-Tutf8", "-ww", "-z", (kManDir / page.page).string()},
                       ChildProcess::In(dir, dir / "groff.out"));
    EXPECT_EQ(groff.Wait(20s), 0);
    EXPECT_EQ(ReadWholeFile(dir / "groff.out"), "") << page.page;
    std::filesystem::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(
    Programs, ManualPages,
    ::testing::Values(ManualPage{"korvane.1", KORVANE_EXE, "/?", "^([/~][a-z?]+:?)"},
                      ManualPage{"korvane-inspect.1", KORVANE_INSPECT_EXE, "--help",
                                 "^  (--[a-z]+)"}),
    [](const auto& param) { return param.index == 0 ? "Guard" : "Inspector"; });

}  // namespace
}  // namespace korvane
