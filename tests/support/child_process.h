#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

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

std::string ReadWholeFile(const std::filesystem::path& path);
// Waits until the file exists and is not empty; false after `limit`.
bool WaitForFile(const std::filesystem::path& path, std::chrono::milliseconds limit);
// A fresh, empty directory for one test.
std::filesystem::path FreshDirectory(const std::string& name);
// The lines of a text, without their line ends.
std::vector<std::string> SplitLines(const std::string& text);

}  // namespace korvane::testing
