// korvane-standin: a stand-in for the game server on a loopback address. It prints what the
// program (or a player's traffic) sends it and stops by itself after a time limit.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/standin_server.h"

namespace {

volatile std::sig_atomic_t stopSignal = 0;

extern "C" void OnStopSignal(int) {
    stopSignal = 1;
}

void PrintLine(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    auto commandLine = korvane::tools::ParseStandinCommandLine(args);
    if (commandLine.help) {
        std::fputs(korvane::tools::StandinUsage().c_str(), stdout);
        return 0;
    }
    if (!commandLine.options) {
        std::fprintf(stderr, "korvane-standin: %s\n%s", commandLine.error.c_str(),
                     korvane::tools::StandinUsage().c_str());
        return 2;
    }

    // No SA_RESTART: a signal cuts the poll short and the loop sees the flag at once.
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    korvane::tools::StandinServer server(*commandLine.options, PrintLine);
    std::string error;
    if (!server.Listen(error)) {
        std::fprintf(stderr, "korvane-standin: %s\n", error.c_str());
        return 1;
    }
    server.Run([] { return stopSignal != 0; });
    return 0;
}
