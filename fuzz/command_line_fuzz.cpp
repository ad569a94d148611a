// The command line: the input's bytes, split at every zero byte, are the arguments after the
// program's name. Besides running clean, the settings must stay within their capacities and
// every number must be read like the C library reads a decimal number.
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "fuzz/require.h"
#include "platform/null_console.h"

namespace {

using korvane::fuzz::Require;

// What strtoll makes of the text, clamped to 32 bits: the reference for LeadingNumber.
int32_t ReferenceNumber(const std::string& text) {
    errno = 0;
    const long long value = std::strtoll(text.c_str(), nullptr, 10);
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    if (value < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> arguments{"korvane"};
    std::string current;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            arguments.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    arguments.push_back(current);
    std::vector<const char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(argument.c_str());
    }
    argv.push_back(nullptr);

    korvane::NullConsole console;
    const korvane::CommandLine line =
        korvane::ParseCommandLine(static_cast<int>(arguments.size()), argv.data(), console);

    std::string whole = "Command line: korvane";
    for (size_t i = 1; i < arguments.size() && !line.usageShown; ++i) {
        whole += " " + arguments[i];
    }
    const std::string& echo = line.commandLineEcho;
    Require(echo.size() < korvane::CommandLine::kEchoCapacity, "the echo fits its capacity");
    Require(line.usageShown || whole.compare(0, echo.size(), echo) == 0,
            "the echo is the arguments as given, cut");
    Require(line.usageShown || echo.size() == std::min(whole.size(), size_t{255}),
            "the echo holds every argument that fits");
    Require(line.settings.serverAddress.size() < korvane::RunSettings::kServerAddressCapacity,
            "the server address fits its capacity");
    Require(line.settings.timeInterval == 0 || line.settings.timeInterval >= 1,
            "the time interval is none or at least a minute");
    Require(line.settings.portMode == korvane::kPortGiven ||
                line.settings.portMode == korvane::kPortDetected,
            "the port mode is one of the two");
    for (size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const std::string number = argument.substr(std::min(argument.size(), size_t{6}));
        Require(korvane::LeadingNumber(number) == ReferenceNumber(number),
                "numbers are read like strtoll reads them");
    }
    return 0;
}
