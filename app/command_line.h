#pragma once

#include <string>

#include "app/run_settings.h"
#include "platform/console.h"

namespace korvane {

// What the command line said.
struct CommandLine {
    static constexpr size_t kEchoCapacity = 256;  // bytes, terminator included

    RunSettings settings;
    // "Command line: korvane" and every argument, each after one blank; cut to 255 characters.
    std::string commandLineEcho;
    // "/?" was given: the usage text has been printed and the program ends at once.
    bool usageShown = false;
};

// Reads the switches of argv[1..argc-1]; argv[0] is the program's own name and is skipped.
CommandLine ParseCommandLine(int argc, const char* const* argv, Console& console);

// The usage text, as PrintUsage writes it.
const std::string& UsageText();
void PrintUsage(Console& console);

// The decimal number at the start of a text, read like the C library's atoi: leading blanks
// skipped, an optional sign, digits up to the first other character; no digits give 0. Values
// beyond the 32-bit range are clamped.
int32_t LeadingNumber(const std::string& text);

}  // namespace korvane
