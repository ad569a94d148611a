#include "tests/support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <thread>

namespace korvane::testing {

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const Options& options) {
    // Writing to a child that has already ended must fail the test, not kill the test binary.
    ::signal(SIGPIPE, SIG_IGN);

    // Everything the child needs is prepared before the fork: after it, only system calls.
    // The test's own environment, with the given variables replacing any of the same name.
    std::vector<std::string> environment = options.environment;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string variable = *e;
        const std::string name = variable.substr(0, variable.find('=') + 1);
        if (std::none_of(options.environment.begin(), options.environment.end(),
                         [&](const std::string& given) { return given.starts_with(name); })) {
            environment.push_back(variable);
        }
    }
    std::vector<char*> envp;
    for (std::string& e : environment) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> all = {program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    const std::string workDir = options.workDir.string();
    const std::string in = "/dev/null";
    const std::string out = options.stdoutFile.empty() ? "/dev/null" : options.stdoutFile.string();
    const std::string err = options.stderrFile.string();

    int pipeFds[2] = {-1, -1};
    if (options.stdinPipe && ::pipe2(pipeFds, O_CLOEXEC) != 0) {
        return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
        if (::chdir(workDir.c_str()) != 0) {
            ::_exit(126);
        }
        int input = options.stdinPipe ? pipeFds[0] : ::open(in.c_str(), O_RDONLY | O_CLOEXEC);
        int output = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        int errors = err.empty()
                         ? output
                         : ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        // dup2 clears close-on-exec on the copies; the originals close at exec.
        ::dup2(input, STDIN_FILENO);
        ::dup2(output, STDOUT_FILENO);
        ::dup2(errors, STDERR_FILENO);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    if (options.stdinPipe) {
        ::close(pipeFds[0]);
        if (pid_ > 0) {
            stdinFd_ = pipeFds[1];
        } else {
            ::close(pipeFds[1]);
        }
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
            pid_ = -1;  // reaped: later waits report nothing, as this one did
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

std::string FindProgram(const std::string& name) {
    for (const char* dir : {"/usr/sbin", "/usr/bin", "/sbin", "/bin"}) {
        const std::filesystem::path path = std::filesystem::path(dir) / name;
        if (::access(path.c_str(), X_OK) == 0) {
            return path;
        }
    }
    return {};
}

}  // namespace korvane::testing
