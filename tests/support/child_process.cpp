#include "tests/support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace korvane::testing {

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const Options& options) {
    int pipeFds[2] = {-1, -1};
    if (options.stdinPipe && ::pipe(pipeFds) != 0) {
        return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
        if (::chdir(options.workDir.c_str()) != 0) {
            ::_exit(126);
        }
        if (options.stdinPipe) {
            ::dup2(pipeFds[0], STDIN_FILENO);
            ::close(pipeFds[0]);
            ::close(pipeFds[1]);
        } else {
            int devNull = ::open("/dev/null", O_RDONLY);
            ::dup2(devNull, STDIN_FILENO);
            ::close(devNull);
        }
        int out = options.stdoutFile.empty()
                      ? ::open("/dev/null", O_WRONLY)
                      : ::open(options.stdoutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = options.stderrFile.empty()
                      ? out
                      : ::open(options.stderrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(err, STDERR_FILENO);
        for (const std::string& variable : options.environment) {
            ::putenv(const_cast<char*>(variable.c_str()));
        }
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    if (options.stdinPipe) {
        ::close(pipeFds[0]);
        stdinFd_ = pipeFds[1];
    }
}

ChildProcess::~ChildProcess() {
    CloseStdin();
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
}

void ChildProcess::WriteStdin(const std::string& bytes) {
    if (stdinFd_ >= 0) {
        [[maybe_unused]] ssize_t n = ::write(stdinFd_, bytes.data(), bytes.size());
    }
}

void ChildProcess::CloseStdin() {
    if (stdinFd_ >= 0) {
        ::close(stdinFd_);
        stdinFd_ = -1;
    }
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds limit) {
    if (status_ || pid_ <= 0) {
        return status_;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return status_;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            status_ = -1000;
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void ChildProcess::Terminate() {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGTERM);
    }
}

std::string ReadWholeFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool WaitForFile(const std::filesystem::path& path, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        std::error_code ec;
        if (std::filesystem::file_size(path, ec) > 0 && !ec) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

std::filesystem::path FreshDirectory(const std::string& name) {
    auto dir = std::filesystem::temp_directory_path() /
               ("korvane-" + name + "-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    std::istringstream in(text);
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

}  // namespace korvane::testing
