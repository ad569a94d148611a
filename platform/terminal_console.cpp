#include "platform/terminal_console.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>

namespace korvane {

namespace {

// Set by the handler of SIGINT and SIGTERM; read as an Escape key.
volatile std::sig_atomic_t stopRequested = 0;

extern "C" void OnStopSignal(int) {
    stopRequested = 1;
}

// Set by the handler of SIGHUP; taken by the loop, which reopens the log.
volatile std::sig_atomic_t reopenRequested = 0;

extern "C" void OnReopenSignal(int) {
    reopenRequested = 1;
}

class TerminalConsole final : public Console {
  public:
    TerminalConsole() {
        struct sigaction action {};
        action.sa_handler = OnStopSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;  // no SA_RESTART: a blocking read returns on the signal
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
        // A reopen request should not end a call on its way: reads restart. A send blocked on a
        // full buffer does not (the link's send timeout keeps it from restarting); it fails as
        // a send that timed out does, and the link is made anew.
        reopenRequested = 0;  // a request no console took is not this one's
        struct sigaction reopen {};
        reopen.sa_handler = OnReopenSignal;
        sigemptyset(&reopen.sa_mask);
        reopen.sa_flags = SA_RESTART;
        sigaction(SIGHUP, &reopen, nullptr);
        isTerminal_ = ::isatty(STDIN_FILENO) == 1 && ::tcgetattr(STDIN_FILENO, &saved_) == 0;
    }

    ~TerminalConsole() override {
        LeaveKeyMode();
        std::fflush(stdout);
    }

    bool KeyWaiting() override {
        if (stopRequested != 0 || !pending_.empty()) {
            return true;
        }
        if (endOfInput_) {
            return false;
        }
        EnterKeyMode();
        if (!InputReady(0)) {
            return false;
        }
        return Fill() && !pending_.empty();
    }

    int ReadKey() override {
        if (pending_.empty() && !KeyWaiting()) {
            return -1;
        }
        if (stopRequested != 0) {
            stopRequested = 0;
            return kEscapeKey;
        }
        auto key = static_cast<unsigned char>(pending_.front());
        pending_.erase(0, 1);
        if (key == kEscapeKey && isTerminal_ && DropEscapeSequence()) {
            return 0;  // a cursor or function key, not Escape itself
        }
        return key;
    }

    NumberInput ReadNumber() override {
        LeaveKeyMode();
        std::fflush(stdout);
        for (;;) {
            std::string line;
            bool gotLine = false;
            while (!gotLine) {
                size_t end = pending_.find('\n');
                if (end != std::string::npos) {
                    line = pending_.substr(0, end);
                    pending_.erase(0, end + 1);
                    gotLine = true;
                } else if (stopRequested != 0) {
                    return {NumberInput::Kind::interrupted, 0};
                } else if (endOfInput_) {
                    if (pending_.empty()) {
                        return {NumberInput::Kind::endOfInput, 0};
                    }
                    line.swap(pending_);
                    gotLine = true;
                } else if (InputReady(kStopCheckMs)) {
                    Fill();
                }
            }
            if (std::optional<NumberInput> answer = NumberInLine(line)) {
                return *answer;
            }
        }
    }

    void Write(std::string_view text) override {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }

    bool TakeLogReopenRequest() override {
        if (reopenRequested == 0) {
            return false;
        }
        reopenRequested = 0;
        return true;
    }

  private:
    // How often a wait for a line looks whether a stop was requested.
    static constexpr int kStopCheckMs = 200;

    // Whether standard input can be read within `milliseconds` (at its end it can).
    static bool InputReady(int milliseconds) {
        pollfd in{STDIN_FILENO, POLLIN, 0};
        return ::poll(&in, 1, milliseconds) > 0;
    }

    // Reads what standard input has (blocking until something or its end arrives).
    // False at end of input or on an interrupted read.
    bool Fill() {
        char chunk[256];
        ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n > 0) {
            pending_.append(chunk, static_cast<size_t>(n));
            return true;
        }
        if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
            endOfInput_ = true;
        }
        return false;
    }

    // A terminal sends cursor and function keys as Escape followed at once by '[' or 'O' and
    // the rest of the sequence; such a key must not end the run. Drops the rest of the
    // sequence that arrived with the Escape and says whether there was one.
    bool DropEscapeSequence() {
        if (pending_.empty() || (pending_[0] != '[' && pending_[0] != 'O')) {
            return false;
        }
        size_t end = 1;
        while (end < pending_.size() && !(pending_[end] >= 0x40 && pending_[end] <= 0x7E)) {
            ++end;
        }
        pending_.erase(0, std::min(end + 1, pending_.size()));
        return true;
    }

    void EnterKeyMode() {
        if (!isTerminal_ || keyMode_) {
            return;
        }
        termios raw = saved_;
        raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        keyMode_ = ::tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
    }

    void LeaveKeyMode() {
        if (keyMode_) {
            ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
            keyMode_ = false;
        }
    }

    bool isTerminal_ = false;
    bool keyMode_ = false;
    bool endOfInput_ = false;
    termios saved_{};
    std::string pending_;
};

}  // namespace

std::unique_ptr<Console> MakeTerminalConsole() {
    return std::make_unique<TerminalConsole>();
}

}  // namespace korvane
