#include "tests/support/standin_process.h"

#include <algorithm>
#include <functional>
#include <iterator>
#include <thread>

#include "platform/format.h"
#include "tools/session_builder.h"

namespace korvane::testing {

namespace {

std::vector<std::string> Arguments(const std::filesystem::path& portFile,
                                   const std::vector<std::string>& extraArgs, StandinArgs given) {
    std::vector<std::string> args;
    if (given == StandinArgs::withDefaults) {
        args = {"--address",   "127.0.0.1",       "--port",    "0",
                "--port-file", portFile.string(), "--seconds", "60"};
    }
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    return args;
}

// The stand-in's arguments after those of the command in `via`, and the stand-in itself.
std::vector<std::string> Via(const std::vector<std::string>& via, std::vector<std::string> args) {
    if (via.empty()) {
        return args;
    }
    std::vector<std::string> all(via.begin() + 1, via.end());
    all.push_back(KORVANE_STANDIN_EXE);
    all.insert(all.end(), args.begin(), args.end());
    return all;
}

ChildProcess::Options Files(const std::filesystem::path& dir, const std::filesystem::path& out,
                            const std::filesystem::path& err) {
    ChildProcess::Options options = ChildProcess::In(dir, out);
    options.stderrFile = err;
    return options;
}

// Checks `done` every 20 ms until it holds; false once `limit` has passed without it.
bool WaitUntil(std::chrono::milliseconds limit, const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace

StandinProcess::StandinProcess(const std::filesystem::path& dir,
                               const std::vector<std::string>& extraArgs, StandinArgs args,
                               const std::vector<std::string>& via)
    : portFile_(dir / "standin.port"),
      output_(dir / "standin.out"),
      errors_(dir / "standin.err"),
      process_(via.empty() ? std::string(KORVANE_STANDIN_EXE) : via.front(),
               Via(via, Arguments(portFile_, extraArgs, args)), Files(dir, output_, errors_)) {}

int StandinProcess::Port() {
    if (!WaitForFile(portFile_, std::chrono::seconds(10))) {
        return 0;
    }
    return std::stoi(ReadWholeFile(portFile_));
}

std::vector<std::string> StandinProcess::Output() const {
    return SplitLines(ReadWholeFile(output_));
}

std::string StandinProcess::Errors() const {
    return ReadWholeFile(errors_);
}

bool StandinProcess::WaitForLines(size_t count, std::chrono::milliseconds limit) {
    return WaitUntil(limit, [&] { return Output().size() >= count; });
}

bool StandinProcess::WaitForLine(const std::string& line, std::chrono::milliseconds limit) {
    return WaitUntil(limit, [&] {
        const std::vector<std::string> lines = Output();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    });
}

bool StandinProcess::WaitForClose(int number, std::chrono::milliseconds limit) {
    const std::string closed = "standin: connection " + std::to_string(number) + " closed after ";
    return WaitUntil(limit, [&] {
        const std::vector<std::string> lines = Output();
        return std::any_of(lines.begin(), lines.end(),
                           [&](const std::string& line) { return line.starts_with(closed); });
    });
}

std::optional<int> StandinProcess::Wait(std::chrono::milliseconds limit) {
    return process_.Wait(limit);
}

void StandinProcess::Terminate() {
    process_.Terminate();
}

std::vector<std::string> StandinProcess::Stop() {
    Terminate();
    Wait(std::chrono::seconds(10));
    return Output();
}

std::vector<std::string> Arrived(const std::vector<std::string>& printed) {
    std::vector<std::string> lines;
    std::copy_if(printed.begin(), printed.end(), std::back_inserter(lines),
                 [](const std::string& line) { return line.starts_with("[1] "); });
    return lines;
}

std::vector<std::string> ArrivedOn(const std::vector<std::string>& printed, int number) {
    const std::string mark = "[" + std::to_string(number) + "] ";
    std::vector<std::string> lines;
    for (const std::string& line : printed) {
        if (line.starts_with(mark)) {
            lines.push_back(line.substr(mark.size()));
        }
    }
    return lines;
}

int ConnectionFrom(const std::vector<std::string>& printed, const std::string& address) {
    const std::string lead = "standin: connection ";
    const std::string from = " from " + address + ":";
    for (const std::string& line : printed) {
        const size_t at = line.find(from);
        if (line.starts_with(lead) && at != std::string::npos && at > lead.size()) {
            return std::stoi(line.substr(lead.size(), at - lead.size()));
        }
    }
    return 0;
}

std::string ArrivedChat(uint32_t sender, uint32_t receiver, unsigned field, const std::string& text,
                        bool alert) {
    return StringPrintf("[1] chat %08x -> %08x [%u]: ", sender, receiver, field) +
           tools::ProgramChatText(text, alert);
}

}  // namespace korvane::testing
