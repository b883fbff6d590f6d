// SPDX-License-Identifier: MIT
#include "CliCommandLine.h"

#include <iostream>

namespace ZEMBCli {

namespace {

constexpr const char* kDescription =
    "zemb-cli: calls the ZEMB server (org.zemb.ZEMB on the D-Bus session bus) from the command "
    "line.";

constexpr const char* kFooter = R"(
Client applications:
  The server keeps registrations, sinks and connections per client application. A command that
  needs a ClientAppID (devices, connect, monitor) uses --client ID when given; otherwise
  it hooks up a client application for the command ("zemb-cli", aciBase) and unhooks it when
  the command ends, which also ends the connections made under it. `hookup` registers a client
  that stays: pass its ClientAppID to later commands with --client. `first` without a client
  asks for a device that is free for anyone (ClientAppID -1).

Shell:
  `zemb-cli shell` reads commands line by line from standard input (as on this command line,
  without "zemb-cli"; "#" starts a comment; quit or end of input ends it) and keeps one client
  across them, so callbacks keep arriving between lines. An identifier left out is the one
  used last: the ClientAppID of hookup, the DevID of first/connect, the ConnectID of connect.

Identifiers and values:
  TYPE: dtNotRecognized, dtBrisk, dtMirel, dtFenwy, dtCorra (or brisk, fenwy, ..., or 0..4)
  MODE: cmExclusive, cmShared (or exclusive, shared, 0, 1)
  HEX:  bytes in hex, e.g. "10 20 ff", 1020ff, 0x10,0x20

Exit status:
  0  the call answered Result True
  1  the server answered Result False (the reason is in the server's log)
  2  the command line was not understood
  3  no session bus, no server, or the call failed with a failure status (time-out, server gone)
)";

struct TCommand {
    const char* Name;
    const char* Description;
    TDefine Define;
};

// Every command, in the order the help lists them.
const TCommand Commands[] = {
    {"hookup", "register a client application (HookupClientApp2)", DefineHookup},
    {"unhook", "unregister a client application (UnhookClientApp)", DefineUnhook},
    {"devices", "list the devices (EnumDevices2 through a sink, DevInfo)", DefineDevices},
    {"info", "show everything about a device (DevInfo)", DefineInfo},
    {"first", "find the first device of a type that is free (FirstDevice2)", DefineFirst},
    {"connect", "connect to a device (ConnectDevice)", DefineConnect},
    {"open", "open the device of a connection (OpenDevice)", DefineOpen},
    {"close", "close the device of a connection (CloseDevice)", DefineClose},
    {"disconnect", "end a connection (DisconnectDevice)", DefineDisconnect},
    {"write", "write bytes to a device (WriteBuffer)", DefineWrite},
    {"read", "read up to N bytes from a device (ReadBuffer)", DefineRead},
    {"stats", "traffic totals of a connection (TrafficStat)", DefineStats},
    {"conninfo", "show a connection (ConnectInfo)", DefineConnInfo},
    {"clientinfo", "show a client application (ClientAppInfo)", DefineClientInfo},
    {"session", "start or end a communication session (StartSession, EndSession)", DefineSession},
    {"buffer-size", "a device's total buffer size (TotalBufferSize)", DefineBufferSize},
    {"tree",
     "devices with their connections and client applications, as the operator window shows "
     "them (through the server's operator interface; registers no client)",
     DefineTree},
    {"monitor",
     "register a sink (and with --connect a connection callback) and show every callback until "
     "interrupted",
     DefineMonitor},
    {"log",
     "the communication log, as the operator window shows it (through the server's operator "
     "interface)",
     DefineLog},
};
// Only on zemb-cli's own command line: a shell does not nest.
const TCommand ShellCommand = {"shell", "read commands from standard input, keeping one client",
                               DefineShell};

// Range checks that CLI11 runs on the text of an option.
const CLI::Range IdRange(-1, 0x7FFFFFFF);

} // namespace

TCommandLine::TCommandLine(TCliSession& session, TSignalFd* signals)
    : Context_{session, signals}, App_{kDescription, "zemb-cli"} {
    Build();
}

void TCommandLine::Build() {
    App_.description(kDescription);
    App_.require_subcommand(1);
    App_.fallthrough();
    App_.add_flag("--json", Json_, "answer with one JSON object per line");
    ClientOpt_ = App_.add_option("--client", Client_,
                                 "ClientAppID to act for (instead of an implicit hook-up)")
                     ->check(IdRange);
    TimeoutOpt_ = App_.add_option("--timeout", TimeoutMs_,
                                  "longest wait for one call, in milliseconds (default 60000)")
                      ->check(CLI::Range(1, 3600000));
    App_.add_option("--server", Server_, "bus name of the server (default org.zemb.ZEMB)");

    auto add = [this](const TCommand& c) {
        CLI::App* command = App_.add_subcommand(c.Name, c.Description);
        Runs_.emplace_back(command, c.Define(*command, Context_));
    };
    for (const TCommand& c : Commands)
        add(c);
    if (!Context_.Signals)
        add(ShellCommand);
    // Set last, so that only the overview carries it, not each command's help.
    App_.footer(kFooter);
}

int TCommandLine::Run(const std::function<void(CLI::App&)>& parse) {
    try {
        parse(App_);
    } catch (const CLI::ParseError& e) {
        int code = App_.exit(e, std::cout, std::cerr);
        return code == 0 ? ecOk : ecUsage;
    }
    return Apply();
}

int TCommandLine::Apply() {
    TCliSession& session = Context_.Session;
    session.Output().Json = Json_ || ShellJson;
    if (ClientOpt_->count() > 0)
        session.ClientOption = static_cast<std::int32_t>(Client_);
    if (TimeoutOpt_->count() > 0)
        session.SetCallTimeout(std::chrono::milliseconds(TimeoutMs_));
    if (!Server_.empty())
        session.ServerName = Server_;
    for (auto& [command, run] : Runs_)
        if (command->parsed())
            return run();
    return ecOk;
}

std::optional<std::int32_t> TIdArgument::Given() const {
    if (!Option || Option->count() == 0)
        return std::nullopt;
    return static_cast<std::int32_t>(Value);
}

TIdArgumentPtr IdArgument(CLI::App& command, const std::string& name, const std::string& text) {
    auto id = std::make_shared<TIdArgument>();
    id->Option = command.add_option(name, id->Value, text)->check(IdRange);
    return id;
}

TRun IdCommand(CLI::App& command, const TCommandContext& context, const std::string& idName,
               const std::string& idText,
               int (*run)(TCliSession& session, std::optional<std::int32_t> id)) {
    auto id = IdArgument(command, idName, idText);
    return [&session = context.Session, id, run] { return run(session, id->Given()); };
}

int UsageError(TCliSession& session, const std::string& text) {
    session.Output().Error(TJson::Object(), text);
    return ecUsage;
}

std::optional<std::uint8_t> ModeOf(TCliSession& session, const std::string& command,
                                   const std::string& mode) {
    if (mode.empty())
        return ZEMB::cmExclusive;
    auto value = ParseDevMode(mode);
    if (!value)
        UsageError(session, command + ": unknown mode '" + mode + "'");
    return value;
}

TSignalFd* SignalsFor(const TCommandContext& context, bool waits, std::unique_ptr<TSignalFd>& own) {
    if (context.Signals || !waits)
        return context.Signals;
    own = std::make_unique<TSignalFd>();
    return own.get();
}

} // namespace ZEMBCli
