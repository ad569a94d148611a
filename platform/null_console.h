#pragma once

#include <string_view>

#include "platform/console.h"

namespace korvane {

// Test double of the console that keeps nothing and has no keys: for measuring the program's
// work without its output.
class NullConsole final : public Console {
  public:
    bool KeyWaiting() override { return false; }
    int ReadKey() override { return -1; }
    NumberInput ReadNumber() override { return {NumberInput::Kind::endOfInput, 0}; }
    void Write(std::string_view) override {}
    bool TakeLogReopenRequest() override { return false; }
};

}  // namespace korvane
