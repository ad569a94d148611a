#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace korvane::testing {

// Whether the stand-in gets the usual arguments before the test's own.
enum class StandinArgs {
    // --address 127.0.0.1 --port 0 --port-file <dir>/standin.port --seconds 60, then the
    // test's own.
    withDefaults,
    // Only the test's own.
    asGiven,
};

// The stand-in game server run as a child in `dir`, for one test, with its standard output in
// standin.out and its standard error in standin.err. With the usual arguments it listens on
// 127.0.0.1 and a free port and stops by itself after a minute at the latest. A command in
// `via` runs it, the stand-in and its arguments after that command's own (such as
// {"/usr/sbin/ip", "netns", "exec", <name>}, which becomes the stand-in).
class StandinProcess {
  public:
    explicit StandinProcess(const std::filesystem::path& dir,
                            const std::vector<std::string>& extraArgs = {},
                            StandinArgs args = StandinArgs::withDefaults,
                            const std::vector<std::string>& via = {});

    bool started() const { return process_.started(); }
    // The port in <dir>/standin.port, or 0 when the file did not come within 10 seconds.
    int Port();
    // What it has printed so far, line by line; what it has written to standard error.
    std::vector<std::string> Output() const;
    std::string Errors() const;
    // Waits until it has printed at least `count` lines; false after `limit`.
    bool WaitForLines(size_t count, std::chrono::milliseconds limit);
    // Waits until it has printed `line`; false after `limit`.
    bool WaitForLine(const std::string& line, std::chrono::milliseconds limit);
    // Waits until it has seen its connection `number` closed, so that all that connection brought
    // is in its dump file; false after `limit`.
    bool WaitForClose(int number, std::chrono::milliseconds limit);
    // The exit status, or nothing when it has not ended within `limit` (it is then killed).
    std::optional<int> Wait(std::chrono::milliseconds limit);
    // Asks it to stop (SIGTERM).
    void Terminate();
    // Stops it, waits for it and returns what it printed.
    std::vector<std::string> Stop();

  private:
    std::filesystem::path portFile_;
    std::filesystem::path output_;
    std::filesystem::path errors_;
    ChildProcess process_;
};

// The stand-in's lines about what arrived on the first connection (the program's link), from
// all it printed.
std::vector<std::string> Arrived(const std::vector<std::string>& printed);
// What arrived on connection `number`, from all it printed, without the "[n] " mark.
std::vector<std::string> ArrivedOn(const std::vector<std::string>& printed, int number);
// The number of the first connection from the dotted `address`, or 0 when none came from it.
int ConnectionFrom(const std::vector<std::string>& printed, const std::string& address);
// The stand-in's line for a chat line of the program's arriving on the first connection.
std::string ArrivedChat(uint32_t sender, uint32_t receiver, unsigned field, const std::string& text,
                        bool alert = false);

}  // namespace korvane::testing
