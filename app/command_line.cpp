#include "app/command_line.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>

namespace korvane {

namespace {

enum class Switch {
    port,
    adapter,
    host,
    time,
    debug,
    noVersion,
    version,
    test,
    silent,
    report,
    puretech,
    collect,
    replay,
    events,
    help
};

struct SwitchPrefix {
    const char* prefix;
    Switch which;
};

// Compared in this order, each over its prefix's own length, so "/debugging" is "/debug".
constexpr SwitchPrefix kSwitches[] = {
    {"/port:", Switch::port},
    {"/adapter:", Switch::adapter},
    {"/host:", Switch::host},
    {"/time:", Switch::time},
    {"/debug", Switch::debug},
    {"/noversion", Switch::noVersion},
    {"/version", Switch::version},
    {"/test", Switch::test},
    {"/silent", Switch::silent},
    {"/report", Switch::report},
    {"/puretech", Switch::puretech},
    {"/collect", Switch::collect},
    {"/replay:", Switch::replay},
    {"/events:", Switch::events},
    {"/?", Switch::help},
};

void AppendCut(std::string& text, const std::string& more, size_t capacity) {
    size_t room = capacity - 1 > text.size() ? capacity - 1 - text.size() : 0;
    text.append(more, 0, room);
}

// A decimal number and nothing else: an optional sign and at least one digit, blanks around.
bool IsDecimalNumber(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return false;
    }
    const size_t last = text.find_last_not_of(" \t");
    const size_t digits = first + (text[first] == '+' || text[first] == '-' ? 1 : 0);
    return digits <= last &&
           std::all_of(text.begin() + static_cast<long>(digits),
                       text.begin() + static_cast<long>(last) + 1,
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

}  // namespace

std::string RunSettings::AdapterSwitch() const {
    return "/adapter:" + (adapterName ? *adapterName : std::to_string(adapterNumber));
}

int32_t LeadingNumber(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    long long value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT32_MAX) + 1) {
            value = static_cast<long long>(INT32_MAX) + 1;
        }
    }
    if (negative) {
        value = -value;
    }
    if (value > INT32_MAX) {
        value = INT32_MAX;
    }
    return static_cast<int32_t>(value);
}

const std::string& UsageText() {
    static const std::string kUsage =
        "Syntax: korvane [<switches>]\n"
        "The switches available in this version:\n\n"
        "/adapter:<number>        The adapter to use (default user select)\n"
        "/collect                 Save all suspicious variants to file.\n"
        "/debug                   Print's out debug info.\n"
        "/host:<IP address>       The host IP address (default select)\n"
        "/noversion               Do not notify users of Korvane version.\n"
        "/port:<port number>      The port (default auto detect)\n"
        "/puretech                Only allow mechs with puretech configs to play.\n"
        "/report                  Report all mech selections to the chat window.\n"
        "/silent                  Functions normally, will not send any messages to players.\n"
        "/test                    Run in test mode. Won't connect to server or boot players.\n"
        "/time[:<interval(min)>]  Display time periodically (15 minute default).\n"
        "/version                 Notify users of Korvane version (default).\n"
        "/?                       Show help.\n"
        "\n\nThe chat commands available in this version:\n\n"
        "~commands                Shows all available chat commands\n"
        "~time                    Shows the servers local time\n"
        "~tech                    Shows tech selection of players (puretech only)\n"
        "~is                      Shows IS tech selections (puretech only)\n"
        "~clan                    Shows Clan tech selections (puretech only)\n"
        "~mixed                   Shows Mixed tech selections (puretech only)\n"
        "~version                 Shows the current korvane version\n";
    return kUsage;
}

void PrintUsage(Console& console) {
    console.Write(UsageText());
}

CommandLine ParseCommandLine(int argc, const char* const* argv, Console& console) {
    CommandLine line;
    RunSettings& s = line.settings;
    line.commandLineEcho = "Command line: korvane";
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i] != nullptr ? argv[i] : "";
        AppendCut(line.commandLineEcho, " ", CommandLine::kEchoCapacity);
        for (const SwitchPrefix& candidate : kSwitches) {
            size_t length = std::strlen(candidate.prefix);
            if (argument.compare(0, length, candidate.prefix) != 0) {
                continue;
            }
            const std::string rest = argument.substr(length);
            switch (candidate.which) {
                case Switch::port:
                    s.serverPort = LeadingNumber(rest);
                    s.portMode = kPortGiven;
                    break;
                case Switch::adapter:
                    if (IsDecimalNumber(rest)) {
                        s.adapterNumber = LeadingNumber(rest);
                        s.adapterName.reset();
                    } else {
                        s.adapterName = rest;
                        s.adapterNumber = -1;
                    }
                    break;
                case Switch::host:
                    s.serverAddress = rest.substr(0, RunSettings::kServerAddressCapacity - 1);
                    s.hostGiven = true;
                    break;
                case Switch::time:
                    s.timeInterval = LeadingNumber(rest);
                    if (s.timeInterval < 1) {
                        s.timeInterval = 15;
                    }
                    break;
                case Switch::debug:
                    s.debugTrace = true;
                    break;
                case Switch::noVersion:
                    s.versionNotice = false;
                    break;
                case Switch::version:
                    s.versionNotice = true;
                    break;
                case Switch::test:
                    s.testMode = true;
                    break;
                case Switch::silent:
                    s.silent = true;
                    break;
                case Switch::report:
                    s.reportSelections = true;
                    break;
                case Switch::puretech:
                    s.puretech = true;
                    break;
                case Switch::collect:
                    s.collectVariants = true;
                    break;
                case Switch::replay:
                    s.replay = true;
                    s.replayFile = rest;
                    break;
                case Switch::events:
                    s.eventsFile = rest;
                    break;
                case Switch::help:
                    PrintUsage(console);
                    line.usageShown = true;
                    return line;
            }
            break;
        }
        AppendCut(line.commandLineEcho, argument, CommandLine::kEchoCapacity);
    }
    return line;
}

}  // namespace korvane
