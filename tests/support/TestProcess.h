// SPDX-License-Identifier: MIT
#pragma once

// Child processes for the tests that run the real programs: output collected from a pipe,
// every wait bounded, the child killed by its pid when the object goes.

#include <chrono>
#include <functional>
#include <map>
#include <optional>
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
    struct TOptions {
        std::map<std::string, std::string> Env; // added to the test's; an empty value removes
        const std::string* Input = nullptr;     // written to standard input, then closed
        bool SeparateErrors = false;            // standard error apart, in Errors()
    };

    TProcess() = default;
    TProcess(const TProcess&) = delete;
    TProcess& operator=(const TProcess&) = delete;
    // Kills the child (SIGKILL) when it still runs.
    ~TProcess();

    // Starts argv (ending a child this object still holds); standard output and error go to
    // one pipe unless SeparateErrors. Standard input is /dev/null unless Input is given.
    bool Start(const std::vector<std::string>& argv, const TOptions& options);
    bool Start(const std::vector<std::string>& argv,
               const std::map<std::string, std::string>& env = {}) {
        return Start(argv, TOptions{env});
    }
    // Reads output until a line containing text has arrived; false at the bound or the end.
    bool WaitForText(const std::string& text, std::chrono::milliseconds bound);
    // The next whole line of output after those already taken; none at the bound or the end.
    std::optional<std::string> ReadLine(std::chrono::milliseconds bound);
    // Takes lines until one equal to line; false at the bound or the end.
    bool WaitForLine(const std::string& line, std::chrono::milliseconds bound);
    // Waits for the end; the exit status, 128 + N after signal N, -1 when the bound passed.
    int WaitForExit(std::chrono::milliseconds bound);
    bool Running();
    void Signal(int signal);
    pid_t Pid() const { return Pid_; }
    // Everything read so far.
    const std::string& Output() const { return Output_; }
    const std::string& Errors() const { return Errors_; }

private:
    // Reads what is there, waiting up to timeout for something; false at end of output.
    bool ReadSome(int timeoutMs);
    // Reads until done() holds; false when the bound passes or the output ends first.
    bool ReadUntil(const std::function<bool()>& done, std::chrono::milliseconds bound);
    std::optional<std::string> TakeLine();
    void Reset();

    pid_t Pid_ = -1;
    int Out_ = -1;
    int Err_ = -1;
    bool Ended_ = false;
    int Status_ = -1;
    std::string Output_, Errors_;
    std::size_t Taken_ = 0; // of Output_, by ReadLine
};

// Runs a program to its end (bounded) and gives its exit status and output.
struct TRunResult {
    int Status = -1;
    std::string Output;
    std::string Errors; // with SeparateErrors only
};
TRunResult RunProgram(const std::vector<std::string>& argv, const TProcess::TOptions& options);
inline TRunResult RunProgram(const std::vector<std::string>& argv,
                             const std::map<std::string, std::string>& env = {},
                             const std::string& input = {}) {
    return RunProgram(argv, TProcess::TOptions{env, input.empty() ? nullptr : &input});
}
