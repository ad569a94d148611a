#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/test_files.h"

namespace korvane::testing {

// A program the tests start, with its output sent to files. It is killed when the object goes
// away, so no child outlives its test.
class ChildProcess {
  public:
    struct Options {
        std::filesystem::path workDir = ".";
        std::filesystem::path stdoutFile;                   // empty: /dev/null
        std::filesystem::path stderrFile;                   // empty: same as stdout
        bool stdinPipe = false;                             // otherwise standard input is /dev/null
        std::vector<std::string> environment = {"TZ=UTC"};  // added to the test's own
    };

    // Runs in `dir`, standard output (and error) to `out`.
    static Options In(const std::filesystem::path& dir, const std::filesystem::path& out) {
        Options o;
        o.workDir = dir;
        o.stdoutFile = out;
        return o;
    }

    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const Options& options);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    // Writes to the child's standard input (with stdinPipe).
    void WriteStdin(const std::string& bytes);
    void CloseStdin();
    // The exit status, or nothing if it did not end within `limit` (it is then killed).
    std::optional<int> Wait(std::chrono::milliseconds limit);
    void Terminate();

  private:
    pid_t pid_ = -1;
    int stdinFd_ = -1;
    std::optional<int> status_;
};

// The absolute path of a system program (in /usr/sbin, /usr/bin, /sbin or /bin), or empty.
std::string FindProgram(const std::string& name);

}  // namespace korvane::testing
