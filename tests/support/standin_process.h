#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace korvane::testing {

// The stand-in game server run as a child on 127.0.0.1 and a free port, for one test; it stops
// by itself after a minute at the latest.
class StandinProcess {
  public:
    explicit StandinProcess(const std::filesystem::path& dir,
                            const std::vector<std::string>& extraArgs = {});

    // The port it listens on, or 0 when it did not come up.
    int Port();
    // Stops it and returns what it printed.
    std::vector<std::string> Stop();

  private:
    std::filesystem::path portFile_;
    std::filesystem::path output_;
    ChildProcess process_;
};

}  // namespace korvane::testing
