#include "tests/support/replayed_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>

#include "platform/clock.h"
#include "tests/support/child_process.h"

namespace korvane::testing {

using namespace std::chrono_literals;

std::vector<std::string> Section(const std::vector<std::string>& lines, const std::string& after,
                                 const std::string& until) {
    auto begin = std::find(lines.begin(), lines.end(), after);
    if (begin == lines.end()) {
        return {};
    }
    ++begin;
    auto end = std::find_if(begin, lines.end(), [&](const std::string& line) {
        return line.size() >= until.size() &&
               line.compare(line.size() - until.size(), until.size(), until) == 0;
    });
    return {begin, end};
}

std::string LogStamp(int second) {
    return AnnouncedTime(second).substr(0, 19) + ": ";
}

std::string AnnouncedTime(int second) {
    return CalendarText(kScenarioStart + second);
}

ReplayedRun::ReplayedRun(std::filesystem::path dir) : dir_(std::move(dir)) {
    std::filesystem::create_directories(dir_);
}

bool ReplayedRun::MakeCapture(const std::string& scenario) {
    const auto scenarioFile = dir_ / "run.scenario";
    std::ofstream(scenarioFile) << scenario;
    capture_ = (dir_ / "run.pcap").string();
    ChildProcess mkcap(KORVANE_MKCAP_EXE, {scenarioFile.string(), capture_},
                       ChildProcess::In(dir_, dir_ / "mkcap.out"));
    const std::optional<int> status = mkcap.Wait(30s);
    EXPECT_EQ(status, 0) << ReadWholeFile(dir_ / "mkcap.out");
    return status == 0;
}

std::optional<uint64_t> ReplayedRun::MakeCaptureFrom(
    const std::filesystem::path& scenario, const std::map<std::string, std::string>& variables) {
    capture_ = (dir_ / "run.pcap").string();
    std::vector<std::string> args = {"--count"};
    for (const auto& [name, value] : variables) {
        args.insert(args.end(), {"--set", name + "=" + value});
    }
    args.insert(args.end(), {scenario.string(), capture_});
    ChildProcess::Options options = ChildProcess::In(dir_, dir_ / "mkcap.out");
    options.stderrFile = dir_ / "mkcap.err";
    ChildProcess mkcap(KORVANE_MKCAP_EXE, args, options);
    const std::optional<int> status = mkcap.Wait(60s);
    EXPECT_EQ(status, 0) << ReadWholeFile(dir_ / "mkcap.err");
    if (status != 0) {
        return std::nullopt;
    }
    return std::stoull(ReadWholeFile(dir_ / "mkcap.out"));
}

std::unique_ptr<ChildProcess> GuardCommand::Start(const std::vector<std::string>& args,
                                                  ChildProcess::Options options) const {
    std::vector<std::string> all = leadingArgs;
    all.insert(all.end(), args.begin(), args.end());
    options.environment.insert(options.environment.end(), environment.begin(), environment.end());
    return std::make_unique<ChildProcess>(path, all, options);
}

GuardCommand LinuxGuard() {
    return {KORVANE_EXE, {}, {}};
}

std::optional<int> ReplayedRun::Replay(const std::vector<std::string>& args) {
    return ReplayWith(LinuxGuard(), args);
}

std::optional<int> ReplayedRun::ReplayWith(const GuardCommand& guard,
                                           const std::vector<std::string>& args) {
    std::vector<std::string> all = {"/replay:" + capture_};
    all.insert(all.end(), args.begin(), args.end());
    ChildProcess::Options options = ChildProcess::In(dir_, dir_ / "korvane.out");
    // The program writes only to standard output; what Wine says goes elsewhere.
    options.stderrFile = dir_ / "korvane.err";
    return guard.Start(all, options)->Wait(60s);
}

std::vector<std::string> ReplayedRun::Console() const {
    return SplitLines(ReadWholeFile(dir_ / "korvane.out"));
}

std::vector<std::string> ReplayedRun::Log() const {
    return SplitLines(ReadWholeFile(dir_ / "Korvane.log"));
}

std::vector<std::string> ReplayedRun::Running() const {
    return Section(Console(), "Korvane is running.", "Korvane shutting down.");
}

std::vector<std::string> ReplayedRun::LogWhileRunning() const {
    const std::vector<std::string> log = Log();
    if (log.size() < 7) {
        return {};
    }
    return Section(log, log[6], "Korvane shutting down.");
}

}  // namespace korvane::testing
