// SPDX-License-Identifier: MIT
#include "TestProcess.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds bound) {
    const auto until = std::chrono::steady_clock::now() + bound;
    for (;;) {
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(20ms);
    }
}

TProcess::~TProcess() {
    Reset();
}

void TProcess::Reset() {
    if (Pid_ > 0 && !Ended_) {
        ::kill(Pid_, SIGKILL);
        ::waitpid(Pid_, nullptr, 0);
    }
    for (int* fd : {&Out_, &Err_}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
    Pid_ = -1;
    Ended_ = false;
    Status_ = -1;
    Output_.clear();
    Errors_.clear();
    Taken_ = 0;
}

bool TProcess::Start(const std::vector<std::string>& argv,
                     const std::map<std::string, std::string>& env, const std::string* input) {
    return Start(argv, TOptions{env, input, false});
}

bool TProcess::Start(const std::vector<std::string>& argv, const TOptions& options) {
    Reset();
    std::map<std::string, std::string> merged;
    for (char** e = environ; *e; ++e) {
        std::string entry(*e);
        auto eq = entry.find('=');
        if (eq != std::string::npos)
            merged[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const auto& [key, value] : options.Env) {
        if (value.empty())
            merged.erase(key);
        else
            merged[key] = value;
    }
    std::vector<std::string> envText;
    for (const auto& [key, value] : merged)
        envText.push_back(key + "=" + value);
    std::vector<char*> envp, args;
    for (auto& e : envText)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argvCopy = argv;
    for (auto& a : argvCopy)
        args.push_back(a.data());
    args.push_back(nullptr);

    int out[2], in[2], err[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0)
        return false;
    if (::pipe2(in, O_CLOEXEC) != 0 || (options.SeparateErrors && ::pipe2(err, O_CLOEXEC) != 0)) {
        for (int fd : {out[0], out[1], in[0], in[1]})
            ::close(fd);
        return false;
    }
    Pid_ = ::fork();
    if (Pid_ == 0) {
        ::dup2(in[0], STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(options.SeparateErrors ? err[1] : out[1], STDERR_FILENO);
        // The child starts with no signal blocked, whatever the test's thread had.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    ::close(out[1]);
    ::close(in[0]);
    if (options.SeparateErrors)
        ::close(err[1]);
    Out_ = out[0];
    Err_ = err[0];
    if (Pid_ < 0) {
        ::close(in[1]);
        Reset();
        return false;
    }
    if (options.Input) {
        // Small inputs only: they fit into the pipe without the child reading.
        ssize_t written = ::write(in[1], options.Input->data(), options.Input->size());
        (void)written;
    }
    ::close(in[1]);
    return true;
}

bool TProcess::ReadSome(int timeoutMs) {
    if (Out_ < 0 && Err_ < 0)
        return false;
    pollfd fds[2] = {{Out_, POLLIN, 0}, {Err_, POLLIN, 0}};
    int ready = ::poll(fds, 2, timeoutMs);
    if (ready <= 0)
        return ready == 0 || errno == EINTR;
    for (auto [fd, text] : {std::pair{&Out_, &Output_}, std::pair{&Err_, &Errors_}}) {
        const pollfd& p = fd == &Out_ ? fds[0] : fds[1];
        if (*fd < 0 || !(p.revents & (POLLIN | POLLHUP)))
            continue;
        char buffer[4096];
        ssize_t got = ::read(*fd, buffer, sizeof buffer);
        if (got <= 0) {
            ::close(*fd);
            *fd = -1;
            continue;
        }
        text->append(buffer, static_cast<std::size_t>(got));
    }
    return Out_ >= 0;
}

namespace {
// The text inside a complete line of output.
bool HasLine(const std::string& output, const std::string& text) {
    auto at = output.find(text);
    return at != std::string::npos && output.find('\n', at) != std::string::npos;
}

int LeftMs(std::chrono::steady_clock::time_point until) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    until - std::chrono::steady_clock::now())
                    .count();
    return static_cast<int>(std::clamp<long>(left, 0, 100));
}
} // namespace

bool TProcess::WaitForText(const std::string& text, std::chrono::milliseconds bound) {
    const auto until = std::chrono::steady_clock::now() + bound;
    for (;;) {
        if (HasLine(Output_, text))
            return true;
        const int left = LeftMs(until);
        if (left <= 0 || !ReadSome(left))
            return HasLine(Output_, text);
    }
}

std::optional<std::string> TProcess::ReadLine(std::chrono::milliseconds bound) {
    const auto until = std::chrono::steady_clock::now() + bound;
    for (;;) {
        if (auto nl = Output_.find('\n', Taken_); nl != std::string::npos) {
            std::string line = Output_.substr(Taken_, nl - Taken_);
            Taken_ = nl + 1;
            return line;
        }
        // A bound of zero still takes what is already in the pipe.
        const int left = LeftMs(until);
        const std::size_t before = Output_.size();
        if (!ReadSome(left) || (left <= 0 && Output_.size() == before))
            return std::nullopt;
    }
}

bool TProcess::WaitForLine(const std::string& line, std::chrono::milliseconds bound) {
    const auto until = std::chrono::steady_clock::now() + bound;
    while (auto next = ReadLine(std::chrono::duration_cast<std::chrono::milliseconds>(
               until - std::chrono::steady_clock::now()))) {
        if (*next == line)
            return true;
    }
    return false;
}

int TProcess::WaitForExit(std::chrono::milliseconds bound) {
    if (Ended_)
        return Status_;
    const auto until = std::chrono::steady_clock::now() + bound;
    for (;;) {
        // Keep the pipe drained so that a talkative child never blocks on it.
        ReadSome(20);
        int status = 0;
        pid_t r = ::waitpid(Pid_, &status, WNOHANG);
        if (r == Pid_) {
            // What is left in the pipe; a grandchild may hold it open, so no waiting.
            std::size_t before = 0;
            do {
                before = Output_.size() + Errors_.size();
                ReadSome(0);
            } while (before != Output_.size() + Errors_.size());
            Ended_ = true;
            Status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return Status_;
        }
        if (std::chrono::steady_clock::now() >= until)
            return -1;
    }
}

bool TProcess::Running() {
    if (Pid_ <= 0 || Ended_)
        return false;
    int status = 0;
    pid_t r = ::waitpid(Pid_, &status, WNOHANG);
    if (r == Pid_) {
        Ended_ = true;
        Status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
    }
    return true;
}

void TProcess::Signal(int signal) {
    if (Pid_ > 0 && !Ended_)
        ::kill(Pid_, signal);
}

TRunResult RunProgram(const std::vector<std::string>& argv, const TProcess::TOptions& options) {
    TProcess process;
    TRunResult result;
    if (!process.Start(argv, options))
        return result;
    result.Status = process.WaitForExit(EndBound);
    result.Output = process.Output();
    result.Errors = process.Errors();
    return result;
}

TRunResult RunProgram(const std::vector<std::string>& argv,
                      const std::map<std::string, std::string>& env, const std::string& input) {
    return RunProgram(argv, TProcess::TOptions{env, input.empty() ? nullptr : &input, false});
}
