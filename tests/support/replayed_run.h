#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace korvane::testing {

// The lines after the first line equal to `after`, up to (not including) the first later line
// that ends with `until`. Empty when `after` is missing.
std::vector<std::string> Section(const std::vector<std::string>& lines, const std::string& after,
                                 const std::string& until);

// The start of the whole-run tests' scenarios: Tue Feb 03 2004 14:50:00 UTC (the tests run with
// TZ=UTC). For a second after it: the stamp of a log line ("Tue Feb 03 14:50:05: "), and the
// time as announced ("Tue Feb 03 14:50:05 2004").
inline constexpr int64_t kScenarioStart = 1075819800;
std::string LogStamp(int second);
std::string AnnouncedTime(int second);
// The warning of a capture of the clients' side only, with SYNs in it, logged at `second`: its
// handshakes cannot be followed.
inline std::string OneWayCaptureWarning(int second) {
    return LogStamp(second) +
           "Warning: a client's SYN has no answer in the capture, which shows none of the "
           "server's segments (a capture of one direction); connections are followed on the "
           "continuity of their bytes";
}

// How the tests start a build of the guard: the file run, the arguments put before the test's
// own (for a program run under Wine, the program itself), and environment entries of its own.
struct GuardCommand {
    std::string path;
    std::vector<std::string> leadingArgs;
    std::vector<std::string> environment;

    // Starts the build with the test's `args`, its environment entries added to `options`.
    std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& args,
                                        ChildProcess::Options options) const;
};
// The Linux build of this tree.
GuardCommand LinuxGuard();

// One run of the built program in its own directory: the capture it replays, made from a
// scenario by the capture-file maker, its console and its log.
class ReplayedRun {
  public:
    explicit ReplayedRun(std::filesystem::path dir);

    // Makes the capture file from a scenario with the capture-file maker.
    bool MakeCapture(const std::string& scenario);
    // Makes it from a scenario file, with "${name}" values for it; the number of frames.
    std::optional<uint64_t> MakeCaptureFrom(const std::filesystem::path& scenario,
                                            const std::map<std::string, std::string>& variables);

    // Replays the capture with `args` after the /replay: switch; the exit status.
    std::optional<int> Replay(const std::vector<std::string>& args);
    // The same with another build of the guard.
    std::optional<int> ReplayWith(const GuardCommand& guard, const std::vector<std::string>& args);
    // Replays the capture file another run made.
    void UseCaptureOf(const ReplayedRun& other) { capture_ = other.capture_; }

    std::vector<std::string> Console() const;
    std::vector<std::string> Log() const;
    // What the console shows once the program runs, up to its shutdown.
    std::vector<std::string> Running() const;
    // The log lines between the command line echo and the shutdown.
    std::vector<std::string> LogWhileRunning() const;

    const std::filesystem::path& dir() const { return dir_; }

  private:
    std::filesystem::path dir_;
    std::string capture_;
};

}  // namespace korvane::testing
