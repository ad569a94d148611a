// korvane-inspect: shows what the guard makes of variant container files, such as the uploads
// that "/collect" saves, using the guard's own rules and its own decoder.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "tools/inspection_json.h"
#include "tools/inspection_text.h"
#include "tools/variant_inspection.h"

namespace {

using korvane::tools::Inspection;
using korvane::tools::InspectionStatus;

constexpr int kAllLegal = 0;
constexpr int kSomeIllegal = 1;
constexpr int kCannotJudge = 2;

constexpr const char* kUsage = "usage: korvane-inspect [--json] FILE...\n";

void PrintHelp() {
    std::fputs(kUsage, stdout);
    std::fputs(
        "\n"
        "Shows what the Korvane guard makes of each variant container FILE (an upload saved\n"
        "by /collect, <time>.<player>.variant.mw4, or any \"#VBD\" container): its directory,\n"
        "variant name, chassis, components, tech class, the guard's own log lines and its\n"
        "verdict, found by running the guard's decoder on the file's bytes. Nothing is sent\n"
        "and nothing is written. At most 1 MiB of a file is read.\n"
        "\n"
        "  --json   one JSON document on standard output: an array, one object per file\n"
        "  --help   this text\n"
        "\n"
        "Exit status: 0 every file legal; 1 at least one illegal (the guard would kick);\n"
        "2 at least one file the guard cannot judge or that cannot be read, or bad usage.\n",
        stdout);
}

int Usage(const std::string& problem) {
    std::fprintf(stderr, "korvane-inspect: %s\n%s", problem.c_str(), kUsage);
    return kCannotJudge;
}

}  // namespace

int main(int argc, char** argv) {
    bool json = false;
    bool optionsEnd = false;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (!optionsEnd && arg == "--") {
            optionsEnd = true;
        } else if (!optionsEnd && arg == "--help") {
            PrintHelp();
            return kAllLegal;
        } else if (!optionsEnd && arg == "--json") {
            json = true;
        } else if (!optionsEnd && arg.size() > 1 && arg.front() == '-') {
            return Usage("unknown option " + std::string(arg));
        } else {
            files.emplace_back(arg);
        }
    }
    if (files.empty()) {
        return Usage("no file given");
    }

    std::vector<Inspection> inspections;
    int status = kAllLegal;
    for (const std::string& file : files) {
        Inspection seen = korvane::tools::InspectFile(file);
        if (seen.status == InspectionStatus::unreadable) {
            status = kCannotJudge;
            std::fprintf(stderr, "korvane-inspect: %s: %s\n",
                         korvane::tools::Printable(file).c_str(),
                         korvane::tools::Printable(seen.reason).c_str());
        } else if (seen.status == InspectionStatus::illegal && status == kAllLegal) {
            status = kSomeIllegal;
        }
        if (!json) {
            std::fputs((inspections.empty() ? "" : "\n"), stdout);
            std::fputs(korvane::tools::RenderText(seen).c_str(), stdout);
        }
        inspections.push_back(std::move(seen));
    }
    if (json) {
        std::fputs(korvane::tools::RenderJson(inspections).c_str(), stdout);
    }
    return std::fflush(stdout) == 0 ? status : kCannotJudge;
}
