// SPDX-License-Identifier: MIT
#pragma once

// Where zemb-cli's answers, failures and callbacks go, and the exit codes they end with.

#include "CliFormat.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace ZEMBCli {

// Exit codes of zemb-cli and of each shell command.
enum TExitCode : int {
    ecOk = 0,
    ecNotOk = 1,       // the server answered the call with Result False
    ecUsage = 2,       // the command line (or shell line) was not understood
    ecUnreachable = 3, // no bus, no server, or the call failed with a failure status
};

// Text for people, or one JSON object per line for scripts.
class TCliOutput {
public:
    TCliOutput(std::FILE* out, std::FILE* err) : Out_(out), Err_(err) {}
    bool Json = false;

    // A successful answer: its text lines, or its JSON object.
    void Answer(const TJson& json, const std::vector<std::string>& lines);
    // A failure: "zemb-cli: text" on the error stream, or the JSON object with "error" set.
    void Error(TJson json, const std::string& text);
    // A callback as it arrives.
    void Callback(std::string_view name, std::string_view idName, std::int32_t id);

private:
    std::FILE* Out_;
    std::FILE* Err_;
};

// The JSON object every answer starts with: the command and the server call it made.
TJson CallJson(std::string_view command, std::string_view call);

// A boolean as the server's texts show it.
inline const char* TrueFalse(bool value) {
    return value ? "True" : "False";
}

} // namespace ZEMBCli
