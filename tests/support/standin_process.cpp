#include "tests/support/standin_process.h"

namespace korvane::testing {

namespace {
std::vector<std::string> Arguments(const std::filesystem::path& portFile,
                                   const std::vector<std::string>& extraArgs) {
    std::vector<std::string> args = {"--address",   "127.0.0.1",       "--port",    "0",
                                     "--port-file", portFile.string(), "--seconds", "60"};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    return args;
}
}  // namespace

StandinProcess::StandinProcess(const std::filesystem::path& dir,
                               const std::vector<std::string>& extraArgs)
    : portFile_(dir / "standin.port"),
      output_(dir / "standin.out"),
      process_(KORVANE_STANDIN_EXE, Arguments(portFile_, extraArgs),
               ChildProcess::In(dir, output_)) {}

int StandinProcess::Port() {
    if (!WaitForFile(portFile_, std::chrono::seconds(10))) {
        return 0;
    }
    return std::stoi(ReadWholeFile(portFile_));
}

std::vector<std::string> StandinProcess::Stop() {
    process_.Terminate();
    process_.Wait(std::chrono::seconds(10));
    return SplitLines(ReadWholeFile(output_));
}

}  // namespace korvane::testing
