// SPDX-License-Identifier: MIT
#pragma once

// What the end-to-end tests need around the real programs: child processes with their output
// collected, a private session bus of their own whose service folder the test chooses, and
// questions to that bus. Every wait is bounded; every child is killed by its pid at the end.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

using namespace std::chrono_literals;

// Bounds of the waits: generous, since the sanitizer builds run several times slower.
inline constexpr std::chrono::milliseconds StartBound = 20s;
inline constexpr std::chrono::milliseconds EndBound = 20s;

// Polls a condition until it holds or the bound passes.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds bound);

class TProcess {
public:
    TProcess() = default;
    TProcess(const TProcess&) = delete;
    TProcess& operator=(const TProcess&) = delete;
    // Kills the child (SIGKILL) when it still runs.
    ~TProcess();

    // Starts argv with the test's environment plus env (an empty value removes a variable);
    // standard output and error go to one pipe. Standard input is /dev/null unless input is
    // given, which is written to it and then closed.
    bool Start(const std::vector<std::string>& argv,
               const std::map<std::string, std::string>& env = {}, const std::string* input = {});
    // Reads output until a line containing text has arrived; false at the bound or the end.
    bool WaitForText(const std::string& text, std::chrono::milliseconds bound);
    // Waits for the end; the exit status, 128 + N after signal N, -1 when the bound passed.
    int WaitForExit(std::chrono::milliseconds bound);
    bool Running();
    void Signal(int signal);
    pid_t Pid() const { return Pid_; }
    // Everything read so far.
    const std::string& Output() const { return Output_; }

private:
    // Reads what is there, waiting up to timeout for something; false at end of output.
    bool ReadSome(int timeoutMs);

    pid_t Pid_ = -1;
    int Out_ = -1;
    bool Ended_ = false;
    int Status_ = -1;
    std::string Output_;
};

// Runs a program to its end (bounded) and gives its exit status and output.
struct TRunResult {
    int Status = -1;
    std::string Output;
};
TRunResult RunProgram(const std::vector<std::string>& argv,
                      const std::map<std::string, std::string>& env = {},
                      const std::string& input = {});

// A session bus of the test's own (dbus-daemon with a configuration that names the service
// folder), so activation finds exactly the files the test's server writes.
class TPrivateBus {
public:
    explicit TPrivateBus(const std::string& serviceFolder, const std::string& configFile,
                         const std::map<std::string, std::string>& env);
    bool Started() const { return !Address_.empty(); }
    const std::string& Address() const { return Address_; }

    bool HasOwner(const std::string& name);
    // The process that owns the name; -1 when none.
    pid_t OwnerPid(const std::string& name);

private:
    TProcess Daemon_;
    std::string Address_;
};
