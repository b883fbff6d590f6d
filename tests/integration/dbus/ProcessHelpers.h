// SPDX-License-Identifier: MIT
#pragma once

// A child process with its standard output on a pipe, read line by line with a bound. The
// child is killed by its pid when the object goes.

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

class TChildProcess {
public:
    TChildProcess() = default;
    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;
    ~TChildProcess();

    bool Start(const std::vector<std::string>& argv);
    // Reads output until a line equal to `line` arrives; false when the bound passes first or
    // the output ends.
    bool WaitForLine(const std::string& line, std::chrono::milliseconds bound);
    // Waits for the process to end; its exit status (or -1 when the bound passed first).
    int WaitForExit(std::chrono::milliseconds bound);
    void Kill(int signal);
    pid_t Pid() const { return Pid_; }
    const std::vector<std::string>& Lines() const { return Lines_; }

private:
    pid_t Pid_ = -1;
    int Out_ = -1;
    std::string Pending_;
    std::vector<std::string> Lines_;
    std::size_t Seen_ = 0;
};
