// SPDX-License-Identifier: MIT
#pragma once

// The commands of zemb-cli. Each adds its arguments to its CLI11 subcommand and gives what runs
// it once a line is parsed; the command line (CliCommandLine.cpp) holds the table of them.
// Grouped by what they act on: CliRegistrationCommands, CliDeviceCommands,
// CliConnectionCommands, CliMonitorCommand, CliLogCommand, CliShell.

#include "CliSession.h"
#include "CliSignals.h"

#include <CLI/CLI.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace ZEMBCli {

struct TCommandContext {
    TCliSession& Session;
    // The shell's signals while the shell runs a line; null on zemb-cli's own command line,
    // where a command that waits blocks them itself.
    TSignalFd* Signals = nullptr;
};

// Runs a parsed command; returns its exit code.
using TRun = std::function<int()>;
// Adds a command's arguments to its subcommand and gives what runs it.
using TDefine = TRun (*)(CLI::App& command, const TCommandContext& context);

TRun DefineHookup(CLI::App& command, const TCommandContext& context);
TRun DefineUnhook(CLI::App& command, const TCommandContext& context);
TRun DefineClientInfo(CLI::App& command, const TCommandContext& context);

TRun DefineDevices(CLI::App& command, const TCommandContext& context);
TRun DefineInfo(CLI::App& command, const TCommandContext& context);
TRun DefineFirst(CLI::App& command, const TCommandContext& context);
TRun DefineBufferSize(CLI::App& command, const TCommandContext& context);
TRun DefineTree(CLI::App& command, const TCommandContext& context);

TRun DefineConnect(CLI::App& command, const TCommandContext& context);
TRun DefineOpen(CLI::App& command, const TCommandContext& context);
TRun DefineClose(CLI::App& command, const TCommandContext& context);
TRun DefineDisconnect(CLI::App& command, const TCommandContext& context);
TRun DefineWrite(CLI::App& command, const TCommandContext& context);
TRun DefineRead(CLI::App& command, const TCommandContext& context);
TRun DefineStats(CLI::App& command, const TCommandContext& context);
TRun DefineConnInfo(CLI::App& command, const TCommandContext& context);
TRun DefineSession(CLI::App& command, const TCommandContext& context);

TRun DefineMonitor(CLI::App& command, const TCommandContext& context);
TRun DefineLog(CLI::App& command, const TCommandContext& context);
TRun DefineShell(CLI::App& command, const TCommandContext& context);

// What the commands' definitions share.

// An identifier argument or option; Given() reads it once the line is parsed.
struct TIdArgument {
    CLI::Option* Option = nullptr;
    std::int64_t Value = -1;
    std::optional<std::int32_t> Given() const;
};
using TIdArgumentPtr = std::shared_ptr<const TIdArgument>;
// A positional identifier ("DEVID") or an option that holds one ("--pid").
TIdArgumentPtr IdArgument(CLI::App& command, const std::string& name, const std::string& text);
// A command on one identifier, given as its only argument or the current one.
TRun IdCommand(CLI::App& command, const TCommandContext& context, const std::string& idName,
               const std::string& idText,
               int (*run)(TCliSession& session, std::optional<std::int32_t> id));

// A command line that is not understood: the text as an error; exit code 2.
int UsageError(TCliSession& session, const std::string& text);
// --mode: cmExclusive when not given; none (after a usage error) when unknown.
std::optional<std::uint8_t> ModeOf(TCliSession& session, const std::string& command,
                                   const std::string& mode);
// The signals a waiting command ends on: the shell's, else (when it waits) its own.
TSignalFd* SignalsFor(const TCommandContext& context, bool waits, std::unique_ptr<TSignalFd>& own);

} // namespace ZEMBCli
