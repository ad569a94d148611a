// The Windows build, run under Wine, against the Linux build of the same tree: the same usage
// text, and for the same capture the same log, console and collected files and the same bytes at
// the stand-in game server. Without Npcap it says so in one log line and fails.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/replayed_run.h"
#include "tests/support/sample_sessions.h"
#include "tests/support/standin_process.h"
#include "tests/support/wine_guard.h"

namespace korvane {
namespace {

using namespace std::chrono_literals;
using korvane::testing::ChildProcess;
using korvane::testing::FindWindowsBuild;
using korvane::testing::FreshDirectory;
using korvane::testing::GuardCommand;
using korvane::testing::InstallWithTestWpcap;
using korvane::testing::LinuxGuard;
using korvane::testing::ReadWholeFile;
using korvane::testing::ReplayedRun;
using korvane::testing::SampleSession;
using korvane::testing::SampleSessionName;
using korvane::testing::SampleSessions;
using korvane::testing::SplitLines;
using korvane::testing::StandinProcess;
using korvane::testing::TextFileLines;
using korvane::testing::WindowsBuild;
using korvane::testing::WineGuard;
using korvane::testing::Wpcap;
using ::testing::HasSubstr;

// What each build says of the layers under it differs, and only that: the capture library's
// version and the sockets layer's description. Both lines are kept, with their common start.
std::vector<std::string> WithoutPlatformNames(std::vector<std::string> lines) {
    for (size_t i = 0; i < lines.size(); ++i) {
        if (const size_t at = lines[i].find("Packet.dll library version:"); at != lines[i].npos) {
            lines[i].resize(at + 27);
        } else if (i > 0 && lines[i - 1].ends_with("TCP/IP Started (0)")) {
            lines[i] = "(sockets layer)";
        }
    }
    return lines;
}

// The variant files a run collected, by name, with their bytes.
std::map<std::string, std::string> CollectedFiles(const std::filesystem::path& dir) {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.ends_with(".variant.mw4")) {
            files[name] = ReadWholeFile(entry.path());
        }
    }
    return files;
}

class WindowsBuildTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string whyNot;
        build_ = FindWindowsBuild(whyNot);
        if (!build_) {
            GTEST_SKIP() << whyNot;
        }
        dir_ = FreshDirectory("windows-build");
    }
    void TearDown() override {
        if (!dir_.empty()) {
            std::filesystem::remove_all(dir_);
        }
    }

    // Runs a build in `dir` and returns its console output; the exit status in `status`.
    std::string RunIn(const std::filesystem::path& dir, const GuardCommand& guard,
                      const std::vector<std::string>& args, std::optional<int>& status) {
        std::filesystem::create_directories(dir);
        ChildProcess::Options options = ChildProcess::In(dir, dir / "console.out");
        options.stderrFile = dir / "console.err";  // where Wine speaks
        status = guard.Start(args, options)->Wait(60s);
        return ReadWholeFile(dir / "console.out");
    }

    std::optional<WindowsBuild> build_;
    std::filesystem::path dir_;
};

TEST_F(WindowsBuildTest, UsageTextIsTheLinuxOne) {
    std::optional<int> linuxStatus;
    std::optional<int> windowsStatus;
    const std::string linuxText = RunIn(dir_ / "linux", LinuxGuard(), {"/?"}, linuxStatus);
    const std::string windowsText =
        RunIn(dir_ / "windows", WineGuard(*build_, build_->KorvaneExe(), Wpcap::none), {"/?"},
              windowsStatus);
    EXPECT_EQ(linuxStatus, 0);
    EXPECT_EQ(windowsStatus, 0);
    EXPECT_THAT(linuxText, HasSubstr("/adapter:"));
    EXPECT_EQ(TextFileLines(dir_ / "windows" / "console.out"), SplitLines(linuxText));
    // Windows ends the lines with CR LF and adds nothing else.
    EXPECT_EQ(windowsText.size(), linuxText.size() + SplitLines(linuxText).size()) << windowsText;
}

// The programs carry their C++ runtime: an operator copies the .exe files and installs Npcap,
// nothing else. What each imports is read from its import table.
TEST_F(WindowsBuildTest, ProgramsNeedNoDllBeyondWindowsOwn) {
    const std::filesystem::path objdump = "/usr/bin/x86_64-w64-mingw32-objdump";
    ASSERT_TRUE(std::filesystem::exists(objdump)) << "MinGW-w64's binutils built these programs";
    const std::set<std::string> windowsOwn = {"KERNEL32.dll", "msvcrt.dll", "WS2_32.dll",
                                              "USER32.dll", "ADVAPI32.dll"};
    for (const std::filesystem::path& exe : {build_->KorvaneExe(), build_->InspectExe()}) {
        std::optional<int> status;
        const std::string dump =
            RunIn(dir_ / exe.stem(), {objdump.string(), {}, {}}, {"-p", exe.string()}, status);
        ASSERT_EQ(status, 0) << dump;
        std::set<std::string> imported;
        for (const std::string& line : SplitLines(dump)) {
            if (const size_t at = line.find("DLL Name: "); at != line.npos) {
                imported.insert(line.substr(at + 10));
            }
        }
        EXPECT_THAT(imported, ::testing::Contains("KERNEL32.dll")) << exe;
        for (const std::string& dll : imported) {
            EXPECT_TRUE(windowsOwn.contains(dll)) << exe << " imports " << dll;
        }
    }
}

// Without Npcap, live or replayed, there is nothing to capture with: one log line says so and
// the run fails, where a program linked with wpcap.dll would not even start.
TEST_F(WindowsBuildTest, WithoutTheCaptureLibraryOneLogLineSaysWhy) {
    const std::string missing = "the packet capture library wpcap.dll could not be loaded";
    struct Case {
        const char* what;
        std::vector<std::string> args;
        std::string lastLineStart;
    };
    for (const Case& c : std::vector<Case>{
             {"live", {"/adapter:1", "/host:127.0.0.1", "/test"}, "Error: " + missing},
             {"replay",
              {"/replay:absent.pcap", "/host:127.0.0.1", "/test"},
              "Unable to open capture file absent.pcap: " + missing}}) {
        std::optional<int> status;
        const std::filesystem::path dir = dir_ / c.what;
        RunIn(dir, WineGuard(*build_, build_->KorvaneExe(), Wpcap::none), c.args, status);
        EXPECT_EQ(status, 255) << c.what;
        const std::vector<std::string> log = TextFileLines(dir / "Korvane.log");
        ASSERT_FALSE(log.empty()) << c.what;
        EXPECT_EQ(log.back().substr(21, c.lastLineStart.size()), c.lastLineStart) << c.what;
        EXPECT_THAT(log.back(), ::testing::EndsWith("install Npcap from npcap.com")) << c.what;
        EXPECT_THAT(log[log.size() - 2], HasSubstr("Command line: korvane")) << c.what;
    }
}

class WindowsReplayTest : public WindowsBuildTest,
                          public ::testing::WithParamInterface<SampleSession> {};

TEST_P(WindowsReplayTest, SameLogConsoleFilesAndBytesAtTheServerAsLinux) {
    StandinProcess server(dir_, {"--dump", (dir_ / "link").string()});
    const int port = server.Port();
    ASSERT_GT(port, 0);
    const std::string scenarioFile = (dir_ / "session.scenario").string();
    { std::ofstream(scenarioFile) << GetParam().text(); }
    const std::vector<std::string> switches = {"/host:127.0.0.1", "/port:" + std::to_string(port),
                                               "/report",         "/puretech",
                                               "/collect",        "/time:1"};
    const std::filesystem::path kickMessages =
        std::filesystem::path(KORVANE_SOURCE_DIR) / "tools" / "demo" / "Korvane.flunk";

    ReplayedRun linuxRun(dir_ / "linux");
    ASSERT_TRUE(linuxRun.MakeCaptureFrom(scenarioFile, {{"port", std::to_string(port)}}));
    std::filesystem::copy_file(kickMessages, linuxRun.dir() / "Korvane.flunk");
    ASSERT_EQ(linuxRun.Replay(switches), 0) << ReadWholeFile(linuxRun.dir() / "korvane.out");
    ASSERT_TRUE(server.WaitForClose(1, 10s));

    ReplayedRun windowsRun(dir_ / "windows");
    windowsRun.UseCaptureOf(linuxRun);
    std::filesystem::copy_file(kickMessages, windowsRun.dir() / "Korvane.flunk");
    const std::filesystem::path exe = InstallWithTestWpcap(*build_, windowsRun.dir());
    ASSERT_EQ(windowsRun.ReplayWith(WineGuard(*build_, exe, Wpcap::besideIt), switches), 0)
        << ReadWholeFile(windowsRun.dir() / "korvane.out");
    ASSERT_TRUE(server.WaitForClose(2, 10s));
    server.Stop();

    const std::string linuxBytes = ReadWholeFile(dir_ / "link.1");
    EXPECT_GT(linuxBytes.size(), 100u);
    EXPECT_TRUE(linuxBytes == ReadWholeFile(dir_ / "link.2"))
        << "the two builds sent different bytes to the server";

    const std::vector<std::string> linuxLog = TextFileLines(linuxRun.dir() / "Korvane.log");
    EXPECT_THAT(linuxLog, ::testing::Contains(HasSubstr("custom kick messages loaded.")));
    EXPECT_EQ(WithoutPlatformNames(TextFileLines(windowsRun.dir() / "Korvane.log")),
              WithoutPlatformNames(linuxLog));
    EXPECT_EQ(WithoutPlatformNames(TextFileLines(windowsRun.dir() / "korvane.out")),
              WithoutPlatformNames(TextFileLines(linuxRun.dir() / "korvane.out")));

    const std::map<std::string, std::string> collected = CollectedFiles(linuxRun.dir());
    EXPECT_FALSE(collected.empty());
    EXPECT_TRUE(CollectedFiles(windowsRun.dir()) == collected)
        << "the two builds collected different variant files";

    // Both builds of the inspector say the same of every collected file, in text and in JSON.
    std::vector<std::string> inspected = {"--json"};
    for (const auto& [name, bytes] : collected) {
        inspected.push_back(name);
    }
    for (const bool json : {false, true}) {
        const std::vector<std::string> args(inspected.begin() + (json ? 0 : 1), inspected.end());
        std::optional<int> linuxStatus;
        std::optional<int> windowsStatus;
        RunIn(linuxRun.dir(), {KORVANE_INSPECT_EXE, {}, {}}, args, linuxStatus);
        RunIn(windowsRun.dir(), WineGuard(*build_, build_->InspectExe(), Wpcap::none), args,
              windowsStatus);
        EXPECT_EQ(linuxStatus, 1) << "json " << json;  // every session collects an illegal one
        EXPECT_EQ(windowsStatus, linuxStatus) << "json " << json;
        EXPECT_EQ(TextFileLines(windowsRun.dir() / "console.out"),
                  TextFileLines(linuxRun.dir() / "console.out"))
            << "json " << json;
    }
}

INSTANTIATE_TEST_SUITE_P(ReplayedSessions, WindowsReplayTest, ::testing::ValuesIn(SampleSessions()),
                         SampleSessionName);

}  // namespace
}  // namespace korvane
