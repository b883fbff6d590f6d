// SPDX-License-Identifier: MIT
// shell: commands read line by line from standard input, for one client across them.
#include "CliCommandLine.h"

#include <cerrno>
#include <cstdio>
#include <poll.h>
#include <string>
#include <unistd.h>

namespace ZEMBCli {

namespace {

struct TShellArgs {
    bool Json = false;
    bool Echo = false;
    bool StopOnError = false;
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
int RunShellLine(TCliSession& session, const std::string& line, const TShellArgs& shellArgs,
                 TSignalFd& signals) {
    const auto savedClient = session.ClientOption;
    TCommandLine commandLine(session, &signals);
    commandLine.ShellJson = shellArgs.Json;
    int code = commandLine.Run([&](CLI::App& app) { app.parse(line, false); });
    session.ClientOption = savedClient;
    session.Output().Json = shellArgs.Json;
    return code;
}

int RunShell(TCliSession& session, const TShellArgs& args) {
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

TRun DefineShell(CLI::App& command, const TCommandContext& context) {
    auto args = std::make_shared<TShellArgs>();
    command.add_flag("--echo", args->Echo, "repeat each command line, after \"> \"");
    command.add_flag("--stop-on-error", args->StopOnError,
                     "end at the first command that fails, with its exit status");
    return [&session = context.Session, args] {
        // --json before `shell` holds for every line.
        args->Json = session.Output().Json;
        return RunShell(session, *args);
    };
}

} // namespace ZEMBCli
