#pragma once

#include <memory>

#include "platform/console.h"

namespace korvane {

// The console on standard input and output. On a console window keys are read without echo and
// without waiting for a line end; on a pipe or file bytes are read as they come. End of input is
// never a key. Ctrl+C, Ctrl+Break and closing the console window are reported as an Escape key,
// so they end a run the same way.
std::unique_ptr<Console> MakeWindowsConsole();

}  // namespace korvane
