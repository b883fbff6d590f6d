// SPDX-License-Identifier: MIT
#include "TestProcess.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

extern char** environ;

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds bound) {
    for (const auto until = std::chrono::steady_clock::now() + bound; !condition();
         std::this_thread::sleep_for(20ms))
        if (std::chrono::steady_clock::now() >= until)
            return false;
    return true;
}

TProcess::~TProcess() {
    Reset();
}

void TProcess::Reset() {
    if (Running()) {
        ::kill(Pid_, SIGKILL);
        ::waitpid(Pid_, nullptr, 0);
    }
    for (int fd : {Out_, Err_})
        if (fd >= 0)
            ::close(fd);
    Pid_ = Out_ = Err_ = Status_ = -1;
    Ended_ = false;
    Output_.clear();
    Errors_.clear();
    Taken_ = 0;
}

bool TProcess::Start(const std::vector<std::string>& argv, const TOptions& options) {
    Reset();
    // The test's environment without the names options.Env sets or removes, then its values.
    std::vector<std::string> envText, argText = argv;
    for (char** e = environ; *e; ++e)
        if (const char* eq = std::strchr(*e, '=');
            eq && !options.Env.contains(std::string(*e, std::size_t(eq - *e))))
            envText.emplace_back(*e);
    for (const auto& [key, value] : options.Env)
        if (!value.empty())
            envText.push_back(key + "=" + value);
    const auto pointers = [](std::vector<std::string>& texts) {
        std::vector<char*> list;
        for (auto& text : texts)
            list.push_back(text.data());
        list.push_back(nullptr);
        return list;
    };
    std::vector<char*> envp = pointers(envText), args = pointers(argText);

    int out[2] = {-1, -1}, in[2] = {-1, -1}, err[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(in, O_CLOEXEC) != 0 ||
        (options.SeparateErrors && ::pipe2(err, O_CLOEXEC) != 0) || (Pid_ = ::fork()) < 0) {
        for (int fd : {out[0], out[1], in[0], in[1], err[0], err[1]})
            if (fd >= 0)
                ::close(fd);
        Pid_ = -1;
        return false;
    }
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
    for (int fd : {out[1], in[0], err[1]})
        if (fd >= 0)
            ::close(fd);
    Out_ = out[0];
    Err_ = err[0];
    // Small inputs only: they fit into the pipe without the child reading.
    [[maybe_unused]] const ssize_t written =
        options.Input ? ::write(in[1], options.Input->data(), options.Input->size()) : 0;
    ::close(in[1]);
    return true;
}

bool TProcess::ReadSome(int timeoutMs) {
    if (Out_ < 0 && Err_ < 0)
        return false;
    pollfd fds[2] = {{Out_, POLLIN, 0}, {Err_, POLLIN, 0}};
    const int ready = ::poll(fds, 2, timeoutMs);
    if (ready <= 0)
        return ready == 0 || errno == EINTR;
    for (auto [p, fd, text] : {std::tuple{&fds[0], &Out_, &Output_}, {&fds[1], &Err_, &Errors_}}) {
        if (*fd < 0 || !(p->revents & (POLLIN | POLLHUP)))
            continue;
        char buffer[4096];
        const ssize_t got = ::read(*fd, buffer, sizeof buffer);
        if (got > 0)
            text->append(buffer, static_cast<std::size_t>(got));
        else
            ::close(std::exchange(*fd, -1));
    }
    return Out_ >= 0;
}

bool TProcess::ReadUntil(const std::function<bool()>& done, std::chrono::milliseconds bound) {
    const auto until = std::chrono::steady_clock::now() + bound;
    while (!done()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        // At the bound (and at the end of output) it still takes what is in the pipe.
        const std::size_t before = Output_.size() + Errors_.size();
        if ((!ReadSome(static_cast<int>(std::clamp<long>(left.count(), 0, 100))) ||
             left.count() <= 0) &&
            Output_.size() + Errors_.size() == before)
            return done();
    }
    return true;
}

std::optional<std::string> TProcess::TakeLine() {
    const auto nl = Output_.find('\n', Taken_);
    if (nl == std::string::npos)
        return std::nullopt;
    std::string line = Output_.substr(Taken_, nl - Taken_);
    Taken_ = nl + 1;
    return line;
}

bool TProcess::WaitForText(const std::string& text, std::chrono::milliseconds bound) {
    return ReadUntil(
        [&] {
            // The text inside a complete line of output.
            const auto at = Output_.find(text);
            return at != std::string::npos && Output_.find('\n', at) != std::string::npos;
        },
        bound);
}

std::optional<std::string> TProcess::ReadLine(std::chrono::milliseconds bound) {
    std::optional<std::string> line;
    ReadUntil([&] { return (line = TakeLine()).has_value(); }, bound);
    return line;
}

bool TProcess::WaitForLine(const std::string& line, std::chrono::milliseconds bound) {
    return ReadUntil(
        [&] {
            while (auto next = TakeLine())
                if (*next == line)
                    return true;
            return false;
        },
        bound);
}

int TProcess::WaitForExit(std::chrono::milliseconds bound) {
    // Reading keeps the pipe drained so that a talkative child never blocks on it.
    if (!WaitUntil([&] { return (void)ReadSome(20), !Running(); }, bound))
        return -1;
    // What is left in the pipe; a grandchild may hold it open, so no waiting.
    ReadUntil([] { return false; }, 0ms);
    return Status_;
}

bool TProcess::Running() {
    int status = 0;
    if (Pid_ <= 0 || Ended_)
        return false;
    if (::waitpid(Pid_, &status, WNOHANG) != Pid_)
        return true;
    Ended_ = true;
    Status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return false;
}

void TProcess::Signal(int signal) {
    if (Pid_ > 0 && !Ended_)
        ::kill(Pid_, signal);
}

TRunResult RunProgram(const std::vector<std::string>& argv, const TProcess::TOptions& options) {
    TProcess process;
    if (!process.Start(argv, options))
        return {};
    const int status = process.WaitForExit(EndBound);
    return {status, process.Output(), process.Errors()};
}
