#include "platform/windows_console.h"

#include <conio.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace korvane {

namespace {

// Set by the console control handler; read as an Escape key.
std::atomic<bool> stopRequested{false};

// How long the handler holds off the end of the process after the console window was closed or
// the system began to shut down:
// Windows ends the process as soon as the handler returns (and at the latest after about five
// seconds), and the main loop, whose reads time out after a second, needs a pass or two to see
// the stop and log its shutdown. The process's own exit ends the wait sooner.
constexpr DWORD kCloseGraceMs = 4500;

BOOL WINAPI OnConsoleControl(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            stopRequested = true;
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            stopRequested = true;
            ::Sleep(kCloseGraceMs);
            return TRUE;
        case CTRL_LOGOFF_EVENT:
            // A guard started at boot without a window (by the Task Scheduler, as the system
            // account) gets this whenever any user logs off; it is not the guard's session.
            return TRUE;
        default:
            return FALSE;
    }
}

// What standard input is, which decides how it is read without waiting.
enum class InputKind {
    console,   // a console window: keys through _kbhit and _getch
    pipe,      // a pipe: what has arrived, as PeekNamedPipe tells
    waitPipe,  // a pipe that cannot be looked into: a thread of its own waits on it
    file,      // a disk file or the null device: a read never waits long
    none,      // no standard input at all
};

// A pipe that can only be read by waiting on it (Wine cannot look into a pipe it was handed by
// the host system): a thread waits on it and keeps what arrives until it is taken. The thread
// ends at the end of input; one still waiting when the program ends is ended with the process.
class InputThread {
  public:
    explicit InputThread(HANDLE input) : state_(std::make_shared<State>()) {
        std::thread([state = state_, input] {
            char chunk[256];
            for (;;) {
                DWORD got = 0;
                const bool read = ::ReadFile(input, chunk, sizeof chunk, &got, nullptr) && got > 0;
                std::lock_guard<std::mutex> lock(state->mutex);
                if (!read) {
                    state->ended = true;
                } else {
                    state->bytes.append(chunk, got);
                }
                state->changed.notify_all();
                if (state->ended || state->abandoned) {
                    return;
                }
            }
        }).detach();
    }
    ~InputThread() {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->abandoned = true;
    }
    InputThread(const InputThread&) = delete;
    InputThread& operator=(const InputThread&) = delete;

    // Moves what has arrived, waiting up to `milliseconds` for something; true at end of input
    // once everything before it was taken.
    bool Take(std::string& into, int milliseconds) {
        std::unique_lock<std::mutex> lock(state_->mutex);
        state_->changed.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                 [this] { return !state_->bytes.empty() || state_->ended; });
        into += state_->bytes;
        state_->bytes.clear();
        return state_->ended;
    }

  private:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        std::string bytes;
        bool ended = false;
        bool abandoned = false;
    };
    std::shared_ptr<State> state_;
};

bool PipeEnded(DWORD error) {
    return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED ||
           error == ERROR_HANDLE_EOF || error == ERROR_NO_DATA;
}

class WindowsConsole final : public Console {
  public:
    WindowsConsole() : input_(::GetStdHandle(STD_INPUT_HANDLE)) {
        stopRequested = false;  // a request no console took is not this one's
        ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
        kind_ = KindOf(input_);
        if (kind_ == InputKind::waitPipe) {
            thread_ = std::make_unique<InputThread>(input_);
        }
        endOfInput_ = kind_ == InputKind::none;
    }

    ~WindowsConsole() override {
        ::SetConsoleCtrlHandler(OnConsoleControl, FALSE);
        std::fflush(stdout);
    }

    bool KeyWaiting() override {
        if (stopRequested || !pending_.empty()) {
            return true;
        }
        if (kind_ == InputKind::console) {
            return ::_kbhit() != 0;
        }
        Take(0);
        return !pending_.empty();
    }

    int ReadKey() override {
        if (pending_.empty() && !KeyWaiting()) {
            return -1;
        }
        if (stopRequested.exchange(false)) {
            return kEscapeKey;
        }
        if (!pending_.empty()) {
            auto key = static_cast<unsigned char>(pending_.front());
            pending_.erase(0, 1);
            return key;
        }
        return ReadConsoleKey();
    }

    NumberInput ReadNumber() override {
        std::fflush(stdout);
        for (;;) {
            std::string line;
            const bool gotLine = kind_ == InputKind::console ? EditLine(line) : NextLine(line);
            if (!gotLine) {
                return {
                    stopRequested ? NumberInput::Kind::interrupted : NumberInput::Kind::endOfInput,
                    0};
            }
            if (std::optional<NumberInput> answer = NumberInLine(line)) {
                return *answer;
            }
        }
    }

    void Write(std::string_view text) override {
        // Standard output is in text mode: each line end is written as CR LF.
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }

    // There are no signals here to ask for it; a rotated log is reopened at the next start.
    bool TakeLogReopenRequest() override { return false; }

  private:
    // How long one wait for input lasts before the stop request is looked at again.
    static constexpr int kStopCheckMs = 50;

    static InputKind KindOf(HANDLE input) {
        if (input == nullptr || input == INVALID_HANDLE_VALUE) {
            return InputKind::none;
        }
        DWORD mode = 0;
        if (::GetConsoleMode(input, &mode)) {
            return InputKind::console;
        }
        switch (::GetFileType(input)) {
            case FILE_TYPE_PIPE: {
                DWORD available = 0;
                if (::PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr) ||
                    PipeEnded(::GetLastError())) {
                    return InputKind::pipe;
                }
                return InputKind::waitPipe;
            }
            case FILE_TYPE_DISK:
            case FILE_TYPE_CHAR:  // the null device; a console answered above
                return InputKind::file;
            default:
                return InputKind::none;
        }
    }

    // Moves what standard input has to `pending_` without waiting (a thread's input is waited
    // for up to `milliseconds`); true when something came.
    bool Take(int milliseconds) {
        if (endOfInput_) {
            return false;
        }
        const size_t before = pending_.size();
        switch (kind_) {
            case InputKind::pipe: {
                DWORD available = 0;
                if (!::PeekNamedPipe(input_, nullptr, 0, nullptr, &available, nullptr)) {
                    endOfInput_ = true;  // the writer is gone, or the pipe failed
                } else if (available > 0) {
                    Read(std::min<DWORD>(available, kChunkBytes));
                }
                break;
            }
            case InputKind::file:
                Read(kChunkBytes);
                break;
            case InputKind::waitPipe:
                endOfInput_ = thread_->Take(pending_, milliseconds);
                break;
            case InputKind::console:
            case InputKind::none:
                break;
        }
        return pending_.size() > before;
    }

    // One read of up to `bytes`, which does not wait: the pipe holds them, or it is a file.
    void Read(DWORD bytes) {
        char chunk[kChunkBytes];
        DWORD got = 0;
        if (!::ReadFile(input_, chunk, bytes, &got, nullptr) || got == 0) {
            endOfInput_ = true;
            return;
        }
        pending_.append(chunk, got);
    }

    // The next line from a pipe or file, the last one also without its line end. False at the
    // end of input or when a stop was requested.
    bool NextLine(std::string& line) {
        for (;;) {
            const size_t end = pending_.find('\n');
            if (end != std::string::npos) {
                line = pending_.substr(0, end);
                pending_.erase(0, end + 1);
                return true;
            }
            if (stopRequested) {
                return false;
            }
            if (endOfInput_) {
                if (pending_.empty()) {
                    return false;
                }
                line.swap(pending_);
                return true;
            }
            if (!Take(kStopCheckMs) && !endOfInput_ && kind_ != InputKind::waitPipe) {
                ::Sleep(kStopCheckMs);
            }
        }
    }

    // A line typed at the console, echoed as it is typed, with backspace taking back the last
    // character. Keys are read one by one so that a stop request ends the wait. False when a
    // stop was requested.
    bool EditLine(std::string& line) {
        while (!stopRequested) {
            if (::_kbhit() == 0) {
                ::Sleep(kStopCheckMs);
                continue;
            }
            const int key = ReadConsoleKey();
            if (key == '\r' || key == '\n') {
                Write("\n");
                return true;
            }
            if (key == '\b') {
                if (!line.empty()) {
                    line.pop_back();
                    Write("\b \b");
                }
            } else if (key >= 0x20 && key != 0x7F) {
                line += static_cast<char>(key);
                Write(std::string_view(&line.back(), 1));
            }
        }
        return false;
    }

    // One key from the console. A cursor or function key comes as 0 or 0xE0 followed by a
    // second code, which may be 27 itself (Alt+]); it must not end the run, so both are taken
    // and the key reads as 0.
    static int ReadConsoleKey() {
        const int key = ::_getch();
        if (key == 0 || key == 0xE0) {
            ::_getch();
            return 0;
        }
        return key;
    }

    static constexpr DWORD kChunkBytes = 256;

    HANDLE input_;
    InputKind kind_ = InputKind::none;
    bool endOfInput_ = false;
    std::string pending_;
    std::unique_ptr<InputThread> thread_;
};

}  // namespace

std::unique_ptr<Console> MakeWindowsConsole() {
    return std::make_unique<WindowsConsole>();
}

}  // namespace korvane
