// korvane-traffic: writes the scenario of a long game session, made from a seed, for
// korvane-mkcap.
#include <charconv>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tools/game_traffic.h"

namespace {

constexpr const char* kUsage =
    "usage: korvane-traffic [--seed N] [--frames N] [--players N] [--port N] [--rate N] OUT\n"
    "  writes the scenario of a game session to OUT (- for standard output): N players\n"
    "  (default 32) on 127.0.0.2 and up playing on 127.0.0.1 port N (default 2300), about\n"
    "  --rate frames a second (default 500), until --frames frames (default 1000000); the same\n"
    "  seed (default 1) gives the same scenario. Prints the number of frames on standard error.\n";

bool Number(std::string_view text, uint64_t maximum, uint64_t& value) {
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && value <= maximum;
}

}  // namespace

int main(int argc, char** argv) {
    korvane::tools::GameTrafficPlan plan;
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string out;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg.starts_with("--")) {
            uint64_t value = 0;
            const bool known = arg == "--seed" || arg == "--frames" || arg == "--players" ||
                               arg == "--port" || arg == "--rate";
            const uint64_t maximum = arg == "--port" ? 65535 : arg == "--players" ? 200 : ~0ull;
            if (!known || i + 1 == args.size() || !Number(args[i + 1], maximum, value)) {
                std::fprintf(stderr, "korvane-traffic: bad option %s\n%s", arg.c_str(), kUsage);
                return 2;
            }
            ++i;
            if (arg == "--seed") {
                plan.seed = value;
            } else if (arg == "--frames") {
                plan.frames = value;
            } else if (arg == "--players") {
                plan.players = static_cast<int>(value);
            } else if (arg == "--port") {
                plan.server.port = static_cast<uint16_t>(value);
            } else {
                plan.framesPerSecond = static_cast<uint32_t>(value);
            }
        } else if (out.empty()) {
            out = arg;
        } else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    if (out.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    try {
        size_t frames = 0;
        if (out == "-") {
            frames = korvane::tools::WriteGameTraffic(plan, std::cout);
            std::cout.flush();
        } else {
            std::ofstream file(out, std::ios::binary);
            frames = korvane::tools::WriteGameTraffic(plan, file);
            file.close();
            if (!file) {
                std::fprintf(stderr, "korvane-traffic: cannot write %s\n", out.c_str());
                return 1;
            }
        }
        std::fprintf(stderr, "%zu frames\n", frames);
    } catch (const std::invalid_argument& error) {
        std::fprintf(stderr, "korvane-traffic: %s\n", error.what());
        return 2;
    }
    return 0;
}
