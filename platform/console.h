#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace korvane {

constexpr int kEscapeKey = 27;

// What one attempt to read a decimal number from the operator gave.
struct NumberInput {
    // interrupted: a stop was requested (SIGINT, SIGTERM) while waiting for the answer.
    enum class Kind { number, notANumber, endOfInput, interrupted };
    Kind kind = Kind::endOfInput;
    long value = 0;
};

// The decimal number at the start of a line typed at the adapter prompt (blanks before it are
// skipped); nothing for a blank line, on which the prompt keeps waiting.
std::optional<NumberInput> NumberInLine(const std::string& line);

// The operator's console: standard output for every text the program shows, and the keyboard
// (or whatever stands in for it on standard input) for the Escape key and the adapter prompt.
class Console {
  public:
    virtual ~Console() = default;

    // True when a key can be read at once. End of input is never a key.
    virtual bool KeyWaiting() = 0;
    // Reads one key without echo; call only after KeyWaiting() said yes.
    virtual int ReadKey() = 0;
    // Reads one line from the operator and takes the decimal number at its start.
    virtual NumberInput ReadNumber() = 0;
    // Writes text to standard output as it is.
    virtual void Write(std::string_view text) = 0;
    // True once for each request to reopen the log file (SIGHUP, as log rotation sends it).
    virtual bool TakeLogReopenRequest() = 0;
};

}  // namespace korvane
