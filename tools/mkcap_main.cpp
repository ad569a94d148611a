// korvane-mkcap: turns a text scenario into a capture file (pcap, or pcapng with --pcapng).
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/scenario.h"

namespace {

constexpr const char* kUsage =
    "usage: korvane-mkcap [--pcapng] [--set NAME=VALUE ...] [--count] SCENARIO OUT\n"
    "  writes the frames the scenario describes to the capture file OUT, reading the scenario\n"
    "  one line at a time (SCENARIO may be /dev/stdin);\n"
    "  --set gives ${NAME} in the scenario its value, --count prints the number of frames\n";

}  // namespace

int main(int argc, char** argv) {
    using korvane::tools::PcapFileWriter;
    std::vector<std::string> args(argv + 1, argv + argc);
    PcapFileWriter::Format format = PcapFileWriter::Format::pcap;
    std::vector<std::string> files;
    korvane::tools::ScenarioVariables variables;
    bool count = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--pcapng") {
            format = PcapFileWriter::Format::pcapng;
        } else if (arg == "--count") {
            count = true;
        } else if (arg == "--set") {
            const size_t equals = i + 1 < args.size() ? args[i + 1].find('=') : std::string::npos;
            if (equals == std::string::npos || equals == 0) {
                std::fprintf(stderr, "korvane-mkcap: --set needs NAME=VALUE\n%s", kUsage);
                return 2;
            }
            ++i;
            variables[args[i].substr(0, equals)] = args[i].substr(equals + 1);
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg.starts_with("-")) {
            std::fprintf(stderr, "korvane-mkcap: unknown option %s\n%s", arg.c_str(), kUsage);
            return 2;
        } else {
            files.push_back(arg);
        }
    }
    if (files.size() != 2) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::string error;
    uint64_t frames = 0;
    if (!korvane::tools::WriteScenarioFileCapture(files[0], variables, files[1], format, error,
                                                  &frames)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    if (count) {
        std::printf("%llu\n", static_cast<unsigned long long>(frames));
    }
    return 0;
}
