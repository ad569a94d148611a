// The shipped fail2ban filter and jail (dist/) with fail2ban's own tools: over the event stream of
// a replayed session in which two players are kicked, one of them twice, and an honest player
// plays, the filter finds exactly the kicks, with the kicked players' addresses; the jail is
// off as shipped and, turned on, passes fail2ban's configuration test with the bans it promises.
// Skipped with the reason printed where fail2ban is not installed.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/replayed_run.h"
#include "tests/support/standin_process.h"

namespace korvane {
namespace {

using korvane::testing::ChildProcess;
using korvane::testing::FindProgram;
using korvane::testing::FreshDirectory;
using korvane::testing::ReadWholeFile;
using korvane::testing::ReplayedRun;
using korvane::testing::SplitLines;
using korvane::testing::StandinProcess;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::UnorderedElementsAre;
using namespace std::chrono_literals;

const std::filesystem::path kDist = std::filesystem::path(KORVANE_SOURCE_DIR) / "dist";
const std::filesystem::path kFilter = kDist / "korvane.fail2ban-filter";
const std::filesystem::path kJail = kDist / "korvane.fail2ban-jail";

class Fail2banTest : public ::testing::Test {
  protected:
    void SetUp() override {
        regex_ = FindProgram("fail2ban-regex");
        client_ = FindProgram("fail2ban-client");
        if (regex_.empty() || client_.empty() || !std::filesystem::is_directory("/etc/fail2ban")) {
            GTEST_SKIP() << "Skipped: fail2ban is not installed (fail2ban-regex, fail2ban-client "
                            "and /etc/fail2ban are needed)";
        }
        dir_ = FreshDirectory("fail2ban");
    }
    void TearDown() override {
        if (!dir_.empty()) {
            std::filesystem::remove_all(dir_);
        }
    }

    // Runs a fail2ban tool; its standard output and error, and its exit status in `status`.
    std::string Run(const std::string& program, const std::vector<std::string>& args,
                    std::optional<int>& status) {
        const auto out = dir_ / "tool.out";
        ChildProcess tool(program, args, ChildProcess::In(dir_, out));
        status = tool.Wait(120s);
        return ReadWholeFile(out);
    }

    // fail2ban's configuration as shipped, without its jails, with the guard's filter and jail.
    std::filesystem::path ConfigurationWithTheGuardsJail() {
        const auto conf = dir_ / "fail2ban";
        std::filesystem::copy("/etc/fail2ban", conf, std::filesystem::copy_options::recursive);
        std::filesystem::remove_all(conf / "jail.d");
        std::filesystem::remove(conf / "jail.local");
        std::filesystem::create_directory(conf / "jail.d");
        // Over the package's own, where it is installed.
        std::filesystem::copy_file(kFilter, conf / "filter.d" / "korvane.conf",
                                   std::filesystem::copy_options::overwrite_existing);
        std::filesystem::copy_file(kJail, conf / "jail.d" / "korvane.conf");
        return conf;
    }

    std::string regex_;
    std::string client_;
    std::filesystem::path dir_;
};

TEST_F(Fail2banTest, FilterFindsExactlyTheKicksWithTheirAddresses) {
    StandinProcess server(dir_);
    const std::string port = std::to_string(server.Port());
    ReplayedRun run(dir_ / "run");
    ASSERT_TRUE(run.MakeCaptureFrom(
        std::filesystem::path(KORVANE_SOURCE_DIR) / "tests/e2e/repeat_cheaters.scenario",
        {{"port", port}}));
    ASSERT_EQ(run.Replay({"/host:127.0.0.1", "/port:" + port, "/events:events.jsonl"}), 0)
        << ReadWholeFile(run.dir() / "korvane.out");
    ASSERT_TRUE(server.WaitForClose(1, 10s));
    const std::vector<std::string> printed = server.Stop();
    // What the guard did: Hopper removed twice; Skyhook left before his removal, which counts
    // all the same; nothing of the honest player.
    for (const char* removal : {"delete player 0000003b", "delete player 0000003c"}) {
        EXPECT_THAT(printed, Contains(HasSubstr(removal)));
    }
    for (const char* none : {"delete player 0000004c", "delete player 0000002a"}) {
        EXPECT_THAT(printed, Not(Contains(HasSubstr(none))));
    }

    std::optional<int> status;
    const std::string matched = Run(
        regex_, {"--out", "ip", (run.dir() / "events.jsonl").string(), kFilter.string()}, status);
    EXPECT_EQ(status, 0) << matched;
    EXPECT_THAT(SplitLines(matched), UnorderedElementsAre("127.0.0.3", "127.0.0.3", "127.0.0.4"))
        << ReadWholeFile(run.dir() / "events.jsonl");
}

TEST_F(Fail2banTest, JailIsOffAsShippedAndOnBansTwoKicksADayForADay) {
    const auto conf = ConfigurationWithTheGuardsJail();
    std::optional<int> status;
    const std::string shipped = Run(client_, {"-c", conf.string(), "-d"}, status);
    EXPECT_EQ(status, 0) << shipped;
    EXPECT_THAT(shipped, Not(HasSubstr("'korvane'")));

    // Turned on as the jail's own comment says, reading a stream that is there.
    const auto events = dir_ / "events.jsonl";
    std::ofstream(events) << "";
    std::ofstream(conf / "jail.d" / "korvane.local")
        << "[korvane]\nenabled = true\nlogpath = " << events.string() << "\n";
    const std::string tested = Run(client_, {"-c", conf.string(), "-t"}, status);
    EXPECT_EQ(status, 0) << tested;
    EXPECT_THAT(tested, HasSubstr("OK: configuration test is successful"));
    const std::string on = Run(client_, {"-c", conf.string(), "-d"}, status);
    EXPECT_EQ(status, 0) << on;
    for (const std::string& setting : std::vector<std::string>{
             "['set', 'korvane', 'maxretry', 2]", "['set', 'korvane', 'findtime', '1d']",
             "['set', 'korvane', 'bantime', '1d']", "['port', '2300']", "['protocol', 'tcp']",
             "['set', 'korvane', 'addlogpath', '" + events.string() + "', 'head']",
             "['start', 'korvane']"}) {
        EXPECT_THAT(on, HasSubstr(setting));
    }
}

}  // namespace
}  // namespace korvane
