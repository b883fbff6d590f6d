// SPDX-License-Identifier: MIT
#include "ProcessHelpers.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

TChildProcess::~TChildProcess() {
    Kill(SIGKILL);
    if (Out_ >= 0)
        close(Out_);
}

bool TChildProcess::Start(const std::vector<std::string>& argv) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) < 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int r = posix_spawn(&Pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    Out_ = pipeFds[0];
    if (r != 0) {
        Pid_ = -1;
        return false;
    }
    return true;
}

bool TChildProcess::WaitForLine(const std::string& line, std::chrono::milliseconds bound) {
    auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        while (Seen_ < Lines_.size())
            if (Lines_[Seen_++] == line)
                return true;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || Out_ < 0)
            return false;
        pollfd fd{Out_, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(left.count())) <= 0)
            continue;
        char buffer[512];
        ssize_t n = read(Out_, buffer, sizeof buffer);
        if (n <= 0) {
            close(Out_);
            Out_ = -1;
            continue;
        }
        Pending_.append(buffer, static_cast<std::size_t>(n));
        std::size_t end;
        while ((end = Pending_.find('\n')) != std::string::npos) {
            Lines_.push_back(Pending_.substr(0, end));
            Pending_.erase(0, end + 1);
        }
    }
}

int TChildProcess::WaitForExit(std::chrono::milliseconds bound) {
    if (Pid_ < 0)
        return -1;
    // A pidfd becomes readable when the child ends: a wait on the condition itself.
    int pidFd = static_cast<int>(syscall(SYS_pidfd_open, Pid_, 0));
    if (pidFd >= 0) {
        pollfd fd{pidFd, POLLIN, 0};
        poll(&fd, 1, static_cast<int>(bound.count()));
        close(pidFd);
    }
    int status = 0;
    if (waitpid(Pid_, &status, WNOHANG) != Pid_)
        return -1;
    Pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void TChildProcess::Kill(int signal) {
    if (Pid_ < 0)
        return;
    kill(Pid_, signal);
    int status = 0;
    if (signal == SIGKILL || signal == SIGTERM) {
        waitpid(Pid_, &status, 0);
        Pid_ = -1;
    }
}
