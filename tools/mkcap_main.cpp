// korvane-mkcap: turns a text scenario into a capture file (pcap, or pcapng with --pcapng).
#include <cstdio>
#include <string>
#include <vector>

#include "tools/scenario.h"

namespace {

constexpr const char* kUsage =
    "usage: korvane-mkcap [--pcapng] SCENARIO OUT\n"
    "  writes the frames the scenario describes to the capture file OUT, reading the scenario\n"
    "  one line at a time, and prints how many frames it wrote\n";

}  // namespace

int main(int argc, char** argv) {
    using korvane::tools::PcapFileWriter;
    std::vector<std::string> args(argv + 1, argv + argc);
    PcapFileWriter::Format format = PcapFileWriter::Format::pcap;
    std::vector<std::string> files;
    for (const std::string& arg : args) {
        if (arg == "--pcapng") {
            format = PcapFileWriter::Format::pcapng;
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
    size_t frames = 0;
    if (!korvane::tools::WriteScenarioCapture(files[0], files[1], format, error, frames)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::printf("%zu frames written to %s\n", frames, files[1].c_str());
    return 0;
}
