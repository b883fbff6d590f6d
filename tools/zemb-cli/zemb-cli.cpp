// SPDX-License-Identifier: MIT
// zemb-cli: the ZEMB server's calls from the command line, one at a time or as a shell that
// keeps one client across commands.
#include "CliFormat.h"
#include "CliSession.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <iostream>
#include <memory>
#include <poll.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

using namespace ZEMBCli;

namespace {

constexpr const char* kDescription =
    "zemb-cli: calls the ZEMB server (org.zemb.ZEMB on the D-Bus session bus) from the command "
    "line.";

constexpr const char* kFooter = R"(
Client applications:
  The server keeps registrations, sinks and connections per client application. A command that
  needs a ClientAppID (devices, connect, tree, monitor) uses --client ID when given; otherwise
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

struct TLineArgs {
    bool Json = false;
    std::int64_t Client = -1;
    std::int64_t TimeoutMs = -1;
    std::string Server;

    std::int64_t Id = -1;
    std::string Type;
    std::string Mode;
    std::string ClientType = "aciBase";
    std::int64_t Pid = -1;
    std::string Computer;
    std::string Exe = "zemb-cli";
    bool FirstVersion = false;
    std::vector<std::string> Hex;
    std::int64_t Count = 0;
    std::string SessionAction;
    std::int64_t ForMs = 0;
    bool ConnectAll = false;
    bool Clear = false;
    bool Follow = false;
    bool Echo = false;
    bool StopOnError = false;
};

std::optional<std::int32_t> Given(CLI::Option* option, std::int64_t value) {
    if (!option || option->count() == 0)
        return std::nullopt;
    return static_cast<std::int32_t>(value);
}

// Range checks that CLI11 runs on the text of an option.
const CLI::Range IdRange(-1, 0x7FFFFFFF);

class TCommandLine {
public:
    TCommandLine(TCliSession& session, bool inShell, TSignalFd* signals)
        : Session_(session), InShell_(inShell), Signals_(signals) {
        Build();
    }

    // Parses and runs one command; returns its exit code. Shell set means a `shell` was asked
    // for (one-shot command line only).
    int Run(const std::function<void(CLI::App&)>& parse, bool& shell) {
        try {
            parse(App_);
        } catch (const CLI::ParseError& e) {
            int code = App_.exit(e, std::cout, std::cerr);
            return code == 0 ? ecOk : ecUsage;
        }
        shell = Shell_ && Shell_->parsed();
        return Apply();
    }

    const TLineArgs& Args() const { return A_; }

private:
    void Build() {
        App_.description(kDescription);
        App_.require_subcommand(1);
        App_.fallthrough();
        App_.add_flag("--json", A_.Json, "answer with one JSON object per line");
        ClientOpt_ = App_.add_option("--client", A_.Client,
                                     "ClientAppID to act for (instead of an implicit hook-up)")
                         ->check(IdRange);
        TimeoutOpt_ = App_.add_option("--timeout", A_.TimeoutMs,
                                      "longest wait for one call, in milliseconds (default 60000)")
                          ->check(CLI::Range(1, 3600000));
        App_.add_option("--server", A_.Server, "bus name of the server (default org.zemb.ZEMB)");

        auto* hookup = Add("hookup", "register a client application (HookupClientApp2)");
        hookup->add_option("--type", A_.ClientType, "client application type (default aciBase)");
        PidOpt_ = hookup->add_option("--pid", A_.Pid, "process identifier (default: zemb-cli's)")
                      ->check(IdRange);
        hookup->add_option("--computer", A_.Computer, "computer name (default: this host's)");
        hookup->add_option("--exe", A_.Exe, "executable name (default zemb-cli)");
        hookup->add_flag("--v1", A_.FirstVersion,
                         "use the first version's HookupClientApp (process identifier -1)");
        Action(hookup, [this] {
            auto type = ParseClientAppType(A_.ClientType);
            if (!type)
                return Usage("hookup: unknown client application type '" + A_.ClientType + "'");
            return Session_.Hookup(*type, Given(PidOpt_, A_.Pid), A_.Computer, A_.Exe,
                                   A_.FirstVersion);
        });

        IdCommand("unhook", "unregister a client application (UnhookClientApp)", "CLIENTAPPID",
                  "default: the current client application", &TCliSession::Unhook);

        auto* devices = Add("devices", "list the devices (EnumDevices2 through a sink, DevInfo)");
        devices->add_option("--type", A_.Type, "only devices of this TYPE (default: every type)");
        Action(devices, [this] {
            if (A_.Type.empty())
                return Session_.Devices(std::nullopt);
            auto type = ParseDevType(A_.Type);
            if (!type)
                return Usage("devices: unknown device type '" + A_.Type + "'");
            return Session_.Devices(*type);
        });

        IdCommand("info", "show everything about a device (DevInfo)", "DEVID",
                  "default: the current device", &TCliSession::Info);

        auto* first = Add("first", "find the first device of a type that is free (FirstDevice2)");
        first->add_option("TYPE", A_.Type, "device type")->required();
        first->add_option("--mode", A_.Mode, "access mode (default cmExclusive)");
        Action(first, [this] {
            auto type = ParseDevType(A_.Type);
            if (!type)
                return Usage("first: unknown device type '" + A_.Type + "'");
            auto mode = ModeOf("first");
            return mode ? Session_.First(*type, *mode) : ecUsage;
        });

        auto* connect = Add("connect", "connect to a device (ConnectDevice)");
        auto* connectId = IdArg(connect, "DEVID", "default: the current device");
        connect->add_option("--mode", A_.Mode, "access mode (default cmExclusive)");
        Action(connect, [this, connectId] {
            auto mode = ModeOf("connect");
            return mode ? Session_.Connect(Given(connectId, A_.Id), *mode) : ecUsage;
        });

        IdCommand("open", "open the device of a connection (OpenDevice)", "CONNECTID",
                  "default: the current connection", &TCliSession::Open);
        IdCommand("close", "close the device of a connection (CloseDevice)", "CONNECTID",
                  "default: the current connection", &TCliSession::Close);
        IdCommand("disconnect", "end a connection (DisconnectDevice)", "CONNECTID",
                  "default: the current connection", &TCliSession::Disconnect);

        auto* write = Add("write", "write bytes to a device (WriteBuffer)");
        write->add_option("HEX", A_.Hex, "the bytes, in hex")->required();
        auto* writeId = ConnectionOption(write);
        Action(write, [this, writeId] {
            std::string text;
            for (const std::string& part : A_.Hex)
                text += part + " ";
            std::vector<std::uint8_t> bytes;
            std::string error;
            if (!ParseHexBytes(text, bytes, error))
                return Usage("write: " + error);
            return Session_.Write(Given(writeId, A_.Id), bytes);
        });

        auto* read = Add("read", "read up to N bytes from a device (ReadBuffer)");
        read->add_option("N", A_.Count, "size of the read buffer in bytes")
            ->required()
            ->check(CLI::Range(1, 65536));
        auto* readId = ConnectionOption(read);
        Action(read, [this, readId] {
            return Session_.Read(Given(readId, A_.Id), static_cast<std::uint32_t>(A_.Count));
        });

        IdCommand("stats", "traffic totals of a connection (TrafficStat)", "CONNECTID",
                  "default: the current connection", &TCliSession::Stats);
        IdCommand("conninfo", "show a connection (ConnectInfo)", "CONNECTID",
                  "default: the current connection", &TCliSession::ConnInfo);
        IdCommand("clientinfo", "show a client application (ClientAppInfo)", "CLIENTAPPID",
                  "default: the current client application", &TCliSession::ClientInfo);

        auto* session = Add("session", "start or end a communication session "
                                       "(StartSession, EndSession)");
        session->add_option("ACTION", A_.SessionAction, "start or end")
            ->required()
            ->check(CLI::IsMember({"start", "end"}));
        auto* sessionId = IdArg(session, "CONNECTID", "default: the current connection");
        Action(session, [this, sessionId] {
            return Session_.Session(A_.SessionAction == "start", Given(sessionId, A_.Id));
        });

        IdCommand("buffer-size", "a device's total buffer size (TotalBufferSize)", "DEVID",
                  "default: the current device", &TCliSession::BufferSize);

        auto* tree = Add("tree", "devices with their connections and client applications, as the "
                                 "operator window shows them (EnumDevices2, EnumConnection2, "
                                 "EnumApplications2)");
        Action(tree, [this] { return Session_.Tree(); });

        auto* monitor = Add("monitor", "register a sink (and with --connect a connection "
                                       "callback) and show every callback until interrupted");
        monitor->add_option("--for", A_.ForMs, "end after this many milliseconds")
            ->check(CLI::Range(1, 86400000));
        monitor->add_flag("--connect", A_.ConnectAll,
                          "connect in shared mode to every device, to see Disconnected and "
                          "Reconnected too");
        Action(monitor, [this] {
            std::unique_ptr<TSignalFd> own;
            return Session_.Monitor(SignalsFor(true, own), std::chrono::milliseconds(A_.ForMs),
                                    A_.ConnectAll);
        });

        auto* log = Add("log", "the communication log, as the operator window shows it "
                               "(through the server's operator interface)");
        log->add_flag("--clear", A_.Clear, "clear the log");
        log->add_flag("--follow", A_.Follow,
                      "then show each change as it comes (the lines from the first that "
                      "changed) until interrupted");
        log->add_option("--for", A_.ForMs, "with --follow: end after this many milliseconds")
            ->check(CLI::Range(1, 86400000));
        Action(log, [this] {
            if (A_.Clear && A_.Follow)
                return Usage("log: --clear and --follow do not go together");
            std::unique_ptr<TSignalFd> own;
            return Session_.Log(A_.Clear, A_.Follow, SignalsFor(A_.Follow, own),
                                std::chrono::milliseconds(A_.ForMs));
        });

        if (!InShell_) {
            Shell_ = Add("shell", "read commands from standard input, keeping one client");
            Shell_->add_flag("--echo", A_.Echo, "repeat each command line, after \"> \"");
            Shell_->add_flag("--stop-on-error", A_.StopOnError,
                             "end at the first command that fails, with its exit status");
        }
        // Set last, so that only the overview carries it, not each command's help.
        App_.footer(kFooter);
    }

    CLI::App* Add(const std::string& name, const std::string& description) {
        return App_.add_subcommand(name, description);
    }
    CLI::Option* IdArg(CLI::App* command, const std::string& name, const std::string& text) {
        return command->add_option(name, A_.Id, text)->check(IdRange);
    }
    CLI::Option* ConnectionOption(CLI::App* command) {
        return command
            ->add_option("-c,--connection", A_.Id, "ConnectID (default: the current connection)")
            ->check(IdRange);
    }
    void Action(CLI::App* command, std::function<int()> action) {
        Actions_.emplace_back(command, std::move(action));
    }
    // A command on one identifier, given as its only argument or the current one.
    void IdCommand(const std::string& name, const std::string& description,
                   const std::string& idName, const std::string& idText,
                   int (TCliSession::*run)(std::optional<std::int32_t>)) {
        CLI::App* command = Add(name, description);
        CLI::Option* id = IdArg(command, idName, idText);
        Action(command, [this, id, run] { return (Session_.*run)(Given(id, A_.Id)); });
    }
    // The signals a waiting command ends on: the shell's, else (when it waits) its own.
    TSignalFd* SignalsFor(bool waits, std::unique_ptr<TSignalFd>& own) {
        if (Signals_ || !waits)
            return Signals_;
        own = std::make_unique<TSignalFd>();
        return own.get();
    }
    int Usage(const std::string& text) {
        Session_.Output().Error(TJson::Object(), text);
        return ecUsage;
    }
    std::optional<std::uint8_t> ModeOf(const std::string& command) {
        if (A_.Mode.empty())
            return ZEMB::cmExclusive;
        auto mode = ParseDevMode(A_.Mode);
        if (!mode)
            Usage(command + ": unknown mode '" + A_.Mode + "'");
        return mode;
    }

    int Apply() {
        Session_.Output().Json = A_.Json || ShellJson;
        if (ClientOpt_->count() > 0)
            Session_.ClientOption = static_cast<std::int32_t>(A_.Client);
        if (TimeoutOpt_->count() > 0)
            Session_.SetCallTimeout(std::chrono::milliseconds(A_.TimeoutMs));
        if (!A_.Server.empty())
            Session_.ServerName = A_.Server;
        for (auto& [command, action] : Actions_)
            if (command->parsed())
                return action();
        return ecOk;
    }

public:
    bool ShellJson = false;

private:
    TCliSession& Session_;
    bool InShell_;
    TSignalFd* Signals_;
    TLineArgs A_;
    CLI::App App_{kDescription, "zemb-cli"};
    CLI::Option* ClientOpt_ = nullptr;
    CLI::Option* TimeoutOpt_ = nullptr;
    CLI::Option* PidOpt_ = nullptr;
    CLI::App* Shell_ = nullptr;
    std::vector<std::pair<CLI::App*, std::function<int()>>> Actions_;
};

std::string Trim(const std::string& text) {
    const auto begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos)
        return {};
    const auto end = text.find_last_not_of(" \t\r");
    return text.substr(begin, end - begin + 1);
}

// One shell line: a command as on the command line. Global options on the line apply to that
// line only.
int RunShellLine(TCliSession& session, const std::string& line, const TLineArgs& shellArgs,
                 TSignalFd& signals) {
    const auto savedClient = session.ClientOption;
    TCommandLine commandLine(session, true, &signals);
    commandLine.ShellJson = shellArgs.Json;
    bool shell = false;
    int code = commandLine.Run([&](CLI::App& app) { app.parse(line, false); }, shell);
    session.ClientOption = savedClient;
    session.Output().Json = shellArgs.Json;
    return code;
}

int RunShell(TCliSession& session, const TLineArgs& args) {
    TSignalFd signals;
    const bool interactive = isatty(STDIN_FILENO);
    int status = ecOk;
    std::string pending;
    bool ended = false;
    auto prompt = [&] {
        if (interactive) {
            std::fputs("zemb> ", stdout);
            std::fflush(stdout);
        }
    };
    auto runLine = [&](const std::string& raw) {
        std::string line = Trim(raw);
        if (line.empty() || line[0] == '#')
            return;
        if (line == "quit" || line == "exit") {
            ended = true;
            return;
        }
        if (args.Echo) {
            std::printf("> %s\n", line.c_str());
            std::fflush(stdout);
        }
        int code = RunShellLine(session, line, args, signals);
        if (code != ecOk && status == ecOk)
            status = code;
        if (code != ecOk && args.StopOnError)
            ended = true;
    };

    prompt();
    while (!ended) {
        // Callbacks are served while the shell waits for the next line.
        pollfd fds[3] = {{STDIN_FILENO, POLLIN, 0},
                         {signals.Fd(), POLLIN, 0},
                         {session.Fd(), session.Events(), 0}};
        const nfds_t count = session.Fd() >= 0 ? 3 : 2;
        int ready = poll(fds, count, session.TimeoutMs());
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[1].revents & POLLIN) {
            signals.Take();
            break;
        }
        if (count == 3 && !session.ProcessEvents()) {
            session.Output().Error(TJson::Object(), "shell: the connection to the bus was lost");
            if (status == ecOk)
                status = ecUnreachable;
            break;
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            char buffer[4096];
            ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                if (!pending.empty())
                    runLine(pending);
                break;
            }
            pending.append(buffer, static_cast<std::size_t>(got));
            std::size_t newline;
            while (!ended && (newline = pending.find('\n')) != std::string::npos) {
                std::string line = pending.substr(0, newline);
                pending.erase(0, newline + 1);
                runLine(line);
                if (!ended)
                    prompt();
            }
        }
    }
    // An interrupt ends the shell as quit does: what it hooked up is unhooked.
    int finish = session.Finish();
    return status != ecOk ? status : finish;
}

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    TCliOutput output(stdout, stderr);
    TCliSession session(output);
    TCommandLine commandLine(session, false, nullptr);
    bool shell = false;
    int code = commandLine.Run([&](CLI::App& app) { app.parse(argc, argv); }, shell);
    if (shell)
        return RunShell(session, commandLine.Args());
    int finish = session.Finish();
    return code != ecOk ? code : finish;
}
