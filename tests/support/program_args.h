#pragma once

#include <string>
#include <vector>

namespace korvane::testing {

// An argument list as a process receives it: the program's name first, then the arguments.
class ProgramArgs {
  public:
    explicit ProgramArgs(std::vector<std::string> args) : args_(std::move(args)) {
        args_.insert(args_.begin(), "korvane");
        for (const std::string& a : args_) {
            argv_.push_back(a.c_str());
        }
    }
    int argc() const { return static_cast<int>(argv_.size()); }
    const char* const* argv() const { return argv_.data(); }

  private:
    std::vector<std::string> args_;
    std::vector<const char*> argv_;
};

}  // namespace korvane::testing
