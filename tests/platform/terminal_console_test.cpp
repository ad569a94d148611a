#include "platform/terminal_console.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>

namespace korvane {
namespace {

// Puts a pipe in place of standard input for the console under test.
class PipedStdin {
  public:
    PipedStdin() {
        saved_ = ::dup(STDIN_FILENO);
        int fds[2];
        EXPECT_EQ(::pipe(fds), 0);
        ::dup2(fds[0], STDIN_FILENO);
        ::close(fds[0]);
        writer_ = fds[1];
    }
    ~PipedStdin() {
        CloseWriter();
        ::dup2(saved_, STDIN_FILENO);
        ::close(saved_);
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
        std::signal(SIGHUP, SIG_DFL);
    }
    void Send(const std::string& bytes) {
        EXPECT_EQ(::write(writer_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    void CloseWriter() {
        if (writer_ >= 0) {
            ::close(writer_);
            writer_ = -1;
        }
    }

  private:
    int saved_ = -1;
    int writer_ = -1;
};

TEST(TerminalConsole, BytesOnAPipeAreKeysAndEndOfInputIsNone) {
    PipedStdin in;
    auto console = MakeTerminalConsole();
    EXPECT_FALSE(console->KeyWaiting());
    in.Send("a\x1b");
    ASSERT_TRUE(console->KeyWaiting());
    EXPECT_EQ(console->ReadKey(), 'a');
    ASSERT_TRUE(console->KeyWaiting());
    EXPECT_EQ(console->ReadKey(), kEscapeKey);
    in.CloseWriter();
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(console->KeyWaiting());  // at the end of input, again and again
    }
}

TEST(TerminalConsole, NumbersAreReadLineByLine) {
    PipedStdin in;
    auto console = MakeTerminalConsole();
    in.Send("\n  3 and more\nx\n-2");
    in.CloseWriter();
    NumberInput first = console->ReadNumber();
    EXPECT_EQ(first.kind, NumberInput::Kind::number);
    EXPECT_EQ(first.value, 3);
    EXPECT_EQ(console->ReadNumber().kind, NumberInput::Kind::notANumber);
    NumberInput last = console->ReadNumber();  // a last line without its line end
    EXPECT_EQ(last.kind, NumberInput::Kind::number);
    EXPECT_EQ(last.value, -2);
    EXPECT_EQ(console->ReadNumber().kind, NumberInput::Kind::endOfInput);
}

TEST(TerminalConsole, KeysTypedAheadOfThePromptAreNotLost) {
    PipedStdin in;
    auto console = MakeTerminalConsole();
    in.Send("2\nq");
    in.CloseWriter();
    EXPECT_EQ(console->ReadNumber().value, 2);
    ASSERT_TRUE(console->KeyWaiting());
    EXPECT_EQ(console->ReadKey(), 'q');
}

TEST(TerminalConsole, StopSignalEndsTheWaitForANumber) {
    PipedStdin in;  // the writer stays open: nothing ever arrives
    auto console = MakeTerminalConsole();
    std::thread stopper([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ::kill(::getpid(), SIGTERM);
    });
    NumberInput input = console->ReadNumber();
    stopper.join();
    EXPECT_EQ(input.kind, NumberInput::Kind::interrupted);
}

TEST(TerminalConsole, StopSignalsReadAsEscape) {
    PipedStdin in;
    auto console = MakeTerminalConsole();
    for (int signal : {SIGTERM, SIGINT}) {
        ASSERT_EQ(std::raise(signal), 0);
        ASSERT_TRUE(console->KeyWaiting());
        EXPECT_EQ(console->ReadKey(), kEscapeKey);
        EXPECT_FALSE(console->KeyWaiting());
    }
}

TEST(TerminalConsole, HangupAsksOnceToReopenTheLogAndIsNoKey) {
    PipedStdin in;
    auto console = MakeTerminalConsole();
    EXPECT_FALSE(console->TakeLogReopenRequest());
    ASSERT_EQ(std::raise(SIGHUP), 0);  // the process lives on: the console handles it
    EXPECT_FALSE(console->KeyWaiting());
    EXPECT_TRUE(console->TakeLogReopenRequest());
    EXPECT_FALSE(console->TakeLogReopenRequest());
}

}  // namespace
}  // namespace korvane

namespace korvane {
namespace {

// Puts the far end of a pseudo terminal in place of standard input.
class TerminalStdin {
  public:
    TerminalStdin() {
        saved_ = ::dup(STDIN_FILENO);
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        EXPECT_GE(master_, 0);
        EXPECT_EQ(::grantpt(master_), 0);
        EXPECT_EQ(::unlockpt(master_), 0);
        int slave = ::open(::ptsname(master_), O_RDWR | O_NOCTTY);
        EXPECT_GE(slave, 0);
        ::dup2(slave, STDIN_FILENO);
        ::close(slave);
    }
    ~TerminalStdin() {
        ::dup2(saved_, STDIN_FILENO);
        ::close(saved_);
        ::close(master_);
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
    }
    void Type(const std::string& keys) {
        EXPECT_EQ(::write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
        ::usleep(50000);  // let the terminal pass them on
    }
    bool Echoing() const {
        termios t{};
        ::tcgetattr(STDIN_FILENO, &t);
        return (t.c_lflag & ECHO) != 0;
    }

  private:
    int saved_ = -1;
    int master_ = -1;
};

TEST(TerminalConsole, OnATerminalKeysComeWithoutEchoOrLineEnd) {
    TerminalStdin in;
    {
        auto console = MakeTerminalConsole();
        EXPECT_FALSE(console->KeyWaiting());
        EXPECT_FALSE(in.Echoing());
        in.Type("k");  // no line end needed
        ASSERT_TRUE(console->KeyWaiting());
        EXPECT_EQ(console->ReadKey(), 'k');
    }
    EXPECT_TRUE(in.Echoing());  // the terminal is given back as it was
}

TEST(TerminalConsole, CursorKeysAreNotEscape) {
    TerminalStdin in;
    auto console = MakeTerminalConsole();
    EXPECT_FALSE(console->KeyWaiting());
    in.Type("\x1b[A");
    ASSERT_TRUE(console->KeyWaiting());
    EXPECT_EQ(console->ReadKey(), 0);
    EXPECT_FALSE(console->KeyWaiting());
    in.Type("\x1b");
    ASSERT_TRUE(console->KeyWaiting());
    EXPECT_EQ(console->ReadKey(), kEscapeKey);
}

}  // namespace
}  // namespace korvane
