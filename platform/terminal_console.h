#pragma once

#include <memory>

#include "platform/console.h"

namespace korvane {

// The console on standard input and output. On a terminal keys are read without echo and
// without waiting for a line end; on a pipe or file bytes are read as they come. End of input is
// never a key. SIGINT and SIGTERM are reported as an Escape key, so they end a run the same way;
// SIGHUP is a request to reopen the log.
std::unique_ptr<Console> MakeTerminalConsole();

}  // namespace korvane
