// The Windows console with standard input of the test's own: a pipe, a file, the null device;
// and Ctrl+C sent to a console of the test's own.
#include "platform/windows_console.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace korvane {
namespace {

// Puts a handle in place of standard input for the console under test; closes it after.
class StdinFrom {
  public:
    explicit StdinFrom(HANDLE input) : saved_(::GetStdHandle(STD_INPUT_HANDLE)), input_(input) {
        EXPECT_NE(input, INVALID_HANDLE_VALUE);
        ::SetStdHandle(STD_INPUT_HANDLE, input);
    }
    ~StdinFrom() {
        ::SetStdHandle(STD_INPUT_HANDLE, saved_);
        ::CloseHandle(input_);
    }
    StdinFrom(const StdinFrom&) = delete;
    StdinFrom& operator=(const StdinFrom&) = delete;

  private:
    HANDLE saved_;
    HANDLE input_;
};

// An anonymous pipe in place of standard input, written by the test.
class PipedStdin {
  public:
    PipedStdin() : in_(MakePipe(writer_)) {}
    ~PipedStdin() { CloseWriter(); }
    PipedStdin(const PipedStdin&) = delete;
    PipedStdin& operator=(const PipedStdin&) = delete;

    void Send(const std::string& bytes) {
        DWORD written = 0;
        EXPECT_TRUE(::WriteFile(writer_, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                                nullptr));
        EXPECT_EQ(written, bytes.size());
    }
    void CloseWriter() {
        if (writer_ != nullptr) {
            ::CloseHandle(writer_);
            writer_ = nullptr;
        }
    }

  private:
    static HANDLE MakePipe(HANDLE& writer) {
        HANDLE reader = nullptr;
        EXPECT_TRUE(::CreatePipe(&reader, &writer, nullptr, 0));
        return reader;
    }

    HANDLE writer_ = nullptr;
    StdinFrom in_;
};

// A file of the test's own with the given bytes in place of standard input; deleted after.
class FileStdin {
  public:
    explicit FileStdin(const std::string& bytes) : in_(MakeFile(bytes)) {}

  private:
    static HANDLE MakeFile(const std::string& bytes) {
        char directory[MAX_PATH] = {};
        char path[MAX_PATH] = {};
        EXPECT_NE(::GetTempPathA(sizeof directory, directory), 0u);
        EXPECT_NE(::GetTempFileNameA(directory, "kvc", 0, path), 0u);
        HANDLE file = ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        DWORD written = 0;
        EXPECT_TRUE(
            ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
        ::SetFilePointer(file, 0, nullptr, FILE_BEGIN);
        return file;
    }

    StdinFrom in_;
};

// The null device in place of standard input.
class NullStdin {
  public:
    NullStdin()
        : in_(::CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr)) {}

  private:
    StdinFrom in_;
};

TEST(WindowsConsole, BytesOnAPipeAreKeysAndEndOfInputIsNone) {
    PipedStdin in;
    auto console = MakeWindowsConsole();
    EXPECT_FALSE(console->KeyWaiting());  // nothing yet, and no wait for it
    in.Send("a\x1b");
    ASSERT_TRUE(console->KeyWaiting());
    EXPECT_EQ(console->ReadKey(), 'a');
    ASSERT_TRUE(console->KeyWaiting());
    EXPECT_EQ(console->ReadKey(), kEscapeKey);
    EXPECT_FALSE(console->KeyWaiting());
    in.Send("z");
    ASSERT_TRUE(console->KeyWaiting());
    EXPECT_EQ(console->ReadKey(), 'z');
    in.CloseWriter();
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(console->KeyWaiting());  // at the end of input, again and again
    }
}

TEST(WindowsConsole, BytesInAFileAreKeysAndEndOfInputIsNone) {
    FileStdin in("q\x1b");
    auto console = MakeWindowsConsole();
    ASSERT_TRUE(console->KeyWaiting());
    EXPECT_EQ(console->ReadKey(), 'q');
    ASSERT_TRUE(console->KeyWaiting());
    EXPECT_EQ(console->ReadKey(), kEscapeKey);
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(console->KeyWaiting());
    }
}

TEST(WindowsConsole, TheNullDeviceGivesNoKeysAndNoNumber) {
    NullStdin in;
    auto console = MakeWindowsConsole();
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(console->KeyWaiting());
    }
    EXPECT_EQ(console->ReadNumber().kind, NumberInput::Kind::endOfInput);
}

// The lines of one input and what reading numbers from it gives, the same from a pipe and a file.
struct NumberCase {
    const char* name;
    std::string input;
    std::vector<NumberInput> expected;  // then the end of input
};

void PrintTo(const NumberCase& c, std::ostream* out) {
    *out << c.name;
}

using Kind = NumberInput::Kind;

const NumberCase kNumberCases[] = {
    {"linesEndingInCrLf",
     "\r\n  3 and more\r\nx\r\n-2\r\n",
     {{Kind::number, 3}, {Kind::notANumber, 0}, {Kind::number, -2}}},
    {"linesEndingInLf",
     "\n  3 and more\nx\n-2",
     {{Kind::number, 3}, {Kind::notANumber, 0}, {Kind::number, -2}}},
    {"blankLinesAreSkipped", " \r\n\t\r\n\r\n12\r\n", {{Kind::number, 12}}},
    {"tooLarge", "99999999999999999999999\r\n7\r\n", {{Kind::notANumber, 0}, {Kind::number, 7}}},
    {"nothing", "", {}},
};

class NumberLines : public ::testing::TestWithParam<NumberCase> {
  protected:
    static void ReadAll(Console& console, const NumberCase& c) {
        for (const NumberInput& expected : c.expected) {
            const NumberInput got = console.ReadNumber();
            EXPECT_EQ(got.kind, expected.kind);
            EXPECT_EQ(got.value, expected.value);
        }
        EXPECT_EQ(console.ReadNumber().kind, Kind::endOfInput);
        EXPECT_EQ(console.ReadNumber().kind, Kind::endOfInput);
    }
};

TEST_P(NumberLines, FromAPipe) {
    PipedStdin in;
    auto console = MakeWindowsConsole();
    in.Send(GetParam().input);
    in.CloseWriter();
    ReadAll(*console, GetParam());
}

TEST_P(NumberLines, FromAFile) {
    FileStdin in(GetParam().input);
    auto console = MakeWindowsConsole();
    ReadAll(*console, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Inputs, NumberLines, ::testing::ValuesIn(kNumberCases),
                         [](const ::testing::TestParamInfo<NumberCase>& param) {
                             return std::string(param.param.name);
                         });

TEST(WindowsConsole, ANumberArrivingInPiecesIsWaitedFor) {
    PipedStdin in;
    auto console = MakeWindowsConsole();
    std::thread writer([&in] {
        in.Send("4");
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        in.Send("2\r\n");
    });
    const NumberInput got = console->ReadNumber();
    writer.join();
    EXPECT_EQ(got.kind, Kind::number);
    EXPECT_EQ(got.value, 42);
}

TEST(WindowsConsole, KeysTypedAheadOfThePromptAreNotLost) {
    PipedStdin in;
    auto console = MakeWindowsConsole();
    in.Send("2\r\nq");
    in.CloseWriter();
    EXPECT_EQ(console->ReadNumber().value, 2);
    ASSERT_TRUE(console->KeyWaiting());
    EXPECT_EQ(console->ReadKey(), 'q');
}

// Standard input as the test was started with, when the starter says what it holds: under Wine
// a pipe from the host system is one that cannot be looked into.
TEST(WindowsConsole, StandardInputAsGivenIsReadAsItComes) {
    const char* given = std::getenv("KORVANE_TEST_STDIN");
    if (given == nullptr) {
        GTEST_SKIP() << "KORVANE_TEST_STDIN is not set; run as: printf 'ab' | "
                        "KORVANE_TEST_STDIN=ab wine windows_console_test.exe";
    }
    auto console = MakeWindowsConsole();
    std::string keys;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (keys.size() < std::string(given).size() && std::chrono::steady_clock::now() < deadline) {
        if (console->KeyWaiting()) {
            keys += static_cast<char>(console->ReadKey());
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    EXPECT_EQ(keys, given);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(console->KeyWaiting());  // the end of input is no key
}

// Counts the console control events that reach it: it stands behind the console's handler. A
// handler is a plain function, so the count is process-wide; each OwnConsole sets it to 0.
std::atomic<int> eventsPassedOn{0};

BOOL WINAPI CountEvent(DWORD) {
    ++eventsPassedOn;
    return TRUE;
}

// A console of the test's own for Ctrl+C to be sent to, so that it reaches no other process.
// The standard handles are kept as they were.
class OwnConsole {
  public:
    OwnConsole() {
        DWORD processes[4] = {};
        const DWORD sharing = ::GetConsoleProcessList(processes, 4);
        if (sharing > 1) {
            why_ = "the test's console is shared with other processes, which Ctrl+C would reach";
            return;
        }
        if (sharing == 0) {
            // Whatever console the process has without knowing it (Wine gives a hidden one)
            // is left for a new one of its own.
            ::FreeConsole();
            allocated_ = ::AllocConsole() != 0;
            if (!allocated_) {
                why_ = "no console could be made for the test (error " +
                       std::to_string(::GetLastError()) + ")";
                return;
            }
            SwapStandardHandles();  // the test's own back in place, the new console's kept
        }
        ::SetConsoleCtrlHandler(nullptr, FALSE);  // Ctrl+C is not ignored
        ::SetConsoleCtrlHandler(CountEvent, TRUE);
        eventsPassedOn = 0;
    }
    ~OwnConsole() {
        if (!why_.empty()) {
            return;
        }
        ::SetConsoleCtrlHandler(CountEvent, FALSE);
        if (allocated_) {
            // Freeing the console closes the standard handles it gave (Wine closes whatever
            // stands there), so they are put back for it.
            SwapStandardHandles();
            ::FreeConsole();
            SwapStandardHandles();
        }
    }
    OwnConsole(const OwnConsole&) = delete;
    OwnConsole& operator=(const OwnConsole&) = delete;

    // Why Ctrl+C cannot be sent here, or empty.
    const std::string& why() const { return why_; }

  private:
    void SwapStandardHandles() {
        const DWORD which[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
        for (int i = 0; i < 3; ++i) {
            const HANDLE current = ::GetStdHandle(which[i]);
            ::SetStdHandle(which[i], other_[i]);
            other_[i] = current;
        }
    }

    bool allocated_ = false;
    std::string why_;
    // The standard handles not in place: the test's own while the console lives.
    HANDLE other_[3] = {::GetStdHandle(STD_INPUT_HANDLE), ::GetStdHandle(STD_OUTPUT_HANDLE),
                        ::GetStdHandle(STD_ERROR_HANDLE)};
};

// Waits a bounded time for the console to see a key.
bool KeyWithin(Console& console, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!console.KeyWaiting()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Keys typed at the console window standard input is, put there as the window would.
class ConsoleKeys {
  public:
    ConsoleKeys() : input_(::GetStdHandle(STD_INPUT_HANDLE)) {
        DWORD mode = 0;
        isConsole_ = ::GetConsoleMode(input_, &mode) != 0;
        if (isConsole_) {
            ::FlushConsoleInputBuffer(input_);
        }
    }
    bool isConsole() const { return isConsole_; }

    // Each character as a key pressed and let go.
    void Type(const std::string& keys) {
        for (char key : keys) {
            INPUT_RECORD pressed[2] = {};
            for (int i = 0; i < 2; ++i) {
                pressed[i].EventType = KEY_EVENT;
                pressed[i].Event.KeyEvent.bKeyDown = i == 0;
                pressed[i].Event.KeyEvent.wRepeatCount = 1;
                pressed[i].Event.KeyEvent.uChar.AsciiChar = key;
                pressed[i].Event.KeyEvent.wVirtualKeyCode =
                    static_cast<WORD>(::VkKeyScanA(key) & 0xFF);
            }
            DWORD written = 0;
            ::WriteConsoleInputA(input_, pressed, 2, &written);
        }
    }

  private:
    HANDLE input_;
    bool isConsole_ = false;
};

TEST(WindowsConsole, OnAConsoleWindowKeysComeWithoutEchoOrLineEnd) {
    ConsoleKeys keys;
    if (!keys.isConsole() && std::getenv("KORVANE_TEST_CONSOLE_WINDOW") != nullptr) {
        FAIL() << "standard input should be a console window here";
    }
    if (!keys.isConsole()) {
        GTEST_SKIP() << "standard input is no console window; under Wine run the test from a "
                        "terminal: script -qc 'wine windows_console_test.exe' /dev/null";
    }
    auto console = MakeWindowsConsole();
    EXPECT_FALSE(console->KeyWaiting());
    keys.Type("k\x1b");
    ASSERT_TRUE(KeyWithin(*console, std::chrono::seconds(5)));
    EXPECT_EQ(console->ReadKey(), 'k');
    ASSERT_TRUE(KeyWithin(*console, std::chrono::seconds(5)));
    EXPECT_EQ(console->ReadKey(), kEscapeKey);
    EXPECT_FALSE(console->KeyWaiting());

    // At the prompt a line is typed, taken back in part and ended with Enter.
    keys.Type("5\b42\r");
    const NumberInput got = console->ReadNumber();
    EXPECT_EQ(got.kind, Kind::number);
    EXPECT_EQ(got.value, 42);
    keys.Type("x\r");
    EXPECT_EQ(console->ReadNumber().kind, Kind::notANumber);
}

TEST(WindowsConsole, CtrlCReadsAsEscapeOnce) {
    OwnConsole own;
    if (!own.why().empty()) {
        GTEST_SKIP() << own.why();
    }
    PipedStdin in;
    {
        auto console = MakeWindowsConsole();
        EXPECT_FALSE(console->KeyWaiting());
        ASSERT_TRUE(::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) << ::GetLastError();
        ASSERT_TRUE(KeyWithin(*console, std::chrono::seconds(5)));
        EXPECT_EQ(console->ReadKey(), kEscapeKey);
        EXPECT_FALSE(console->KeyWaiting());
        EXPECT_EQ(eventsPassedOn, 0);  // the console's handler took it

        // A request no console took is not the next one's.
        ASSERT_TRUE(::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0));
        ASSERT_TRUE(KeyWithin(*console, std::chrono::seconds(5)));
    }
    auto next = MakeWindowsConsole();
    EXPECT_FALSE(next->KeyWaiting());
    next.reset();

    // With the console gone its handler is gone too: the event passes on.
    ASSERT_TRUE(::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (eventsPassedOn == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(eventsPassedOn, 1);
}

TEST(WindowsConsole, CtrlCEndsTheWaitForANumber) {
    OwnConsole own;
    if (!own.why().empty()) {
        GTEST_SKIP() << own.why();
    }
    PipedStdin in;  // the writer stays open: nothing ever arrives
    auto console = MakeWindowsConsole();
    std::thread stopper([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    });
    const NumberInput input = console->ReadNumber();
    stopper.join();
    EXPECT_EQ(input.kind, Kind::interrupted);
    ASSERT_TRUE(console->KeyWaiting());
    EXPECT_EQ(console->ReadKey(), kEscapeKey);
}

}  // namespace
}  // namespace korvane
