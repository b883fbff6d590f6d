// SPDX-License-Identifier: MIT
#pragma once

// zemb-cli's command line: the global options and the table of commands, parsed with CLI11.
// The shell parses each of its lines with one too.

#include "CliCommands.h"

#include <functional>
#include <utility>
#include <vector>

namespace ZEMBCli {

class TCommandLine {
public:
    // signals: the shell's, for a shell line (which offers every command but `shell`); null
    // for zemb-cli's own command line.
    TCommandLine(TCliSession& session, TSignalFd* signals);

    // Parses and runs one command; returns its exit code.
    int Run(const std::function<void(CLI::App&)>& parse);

    // --json given to the shell: every line answers in JSON.
    bool ShellJson = false;

private:
    void Build();
    int Apply();

    TCommandContext Context_;
    CLI::App App_;
    bool Json_ = false;
    std::int64_t Client_ = -1;
    std::int64_t TimeoutMs_ = -1;
    std::string Server_;
    CLI::Option* ClientOpt_ = nullptr;
    CLI::Option* TimeoutOpt_ = nullptr;
    std::vector<std::pair<CLI::App*, TRun>> Runs_;
};

} // namespace ZEMBCli
