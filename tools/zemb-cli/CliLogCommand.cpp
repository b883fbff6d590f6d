// SPDX-License-Identifier: MIT
// log: the communication log through the server's operator interface.
#include "CliCommands.h"
#include "CliOperatorLog.h"

namespace ZEMBCli {

namespace {

// Shown, cleared, or shown and then followed (each change shows the lines from the first one
// that changed) until a signal or the time is up.
int Log(TCliSession& session, bool clear, bool follow, TSignalFd* signals,
        std::chrono::milliseconds duration) {
    TCliOutput& output = session.Output();
    TJson json = CallJson("log", clear ? "ClearCommunicationLog" : "GetCommunicationLog");
    std::string error;
    TOperatorLog* log = session.OperatorLog(error);
    if (!log) {
        output.Error(std::move(json), error);
        return ecUnreachable;
    }
    const std::chrono::milliseconds timeout = session.CallTimeout();
    if (clear) {
        if (!log->Clear(timeout, error)) {
            output.Error(std::move(json), "ClearCommunicationLog failed: " + error);
            return ecUnreachable;
        }
        json.Set("Result", true);
        output.Answer(json, {"Communication log cleared"});
        return ecOk;
    }
    if (follow && !log->Watch(error)) {
        output.Error(std::move(json), error);
        return ecUnreachable;
    }
    std::vector<std::string> shown;
    // Shows the lines from the first one that differs from what was shown before.
    auto show = [&]() -> bool {
        std::vector<std::string> lines;
        if (!log->Lines(lines, timeout, error)) {
            TJson failed = CallJson("log", "GetCommunicationLog");
            output.Error(std::move(failed), "GetCommunicationLog failed: " + error);
            return false;
        }
        std::size_t from = 0;
        while (from < lines.size() && from < shown.size() && lines[from] == shown[from])
            ++from;
        if (from < lines.size() || lines.size() != shown.size() || shown.empty()) {
            TJson answer = CallJson("log", "GetCommunicationLog");
            answer.Set("from", static_cast<std::int64_t>(from));
            TJson& array = answer.Set("lines", TJson::Array());
            std::vector<std::string> text;
            for (std::size_t n = from; n < lines.size(); ++n) {
                array.Add(lines[n]);
                text.push_back(lines[n]);
            }
            if (lines.empty() && !shown.empty())
                text.push_back("(communication log cleared)");
            output.Answer(answer, text);
        }
        shown = std::move(lines);
        return true;
    };
    if (!show())
        return ecUnreachable;
    if (!follow)
        return ecOk;
    {
        TJson following = CallJson("log", "CommunicationLogChanged");
        following.Set("following", true);
        output.Answer(following, {"Following the communication log (interrupt to end)"});
    }

    const bool served = ServeUntil(*log, signals, duration, [&] {
        if (!log->Process()) {
            output.Error(CallJson("log", "CommunicationLogChanged"),
                         "log: the connection to the bus was lost");
            return false;
        }
        return !log->TakeChanged() || show();
    });
    return served ? ecOk : ecUnreachable;
}

} // namespace

TRun DefineLog(CLI::App& command, const TCommandContext& context) {
    struct TArgs {
        bool Clear = false;
        bool Follow = false;
        std::int64_t ForMs = 0;
    };
    auto args = std::make_shared<TArgs>();
    command.add_flag("--clear", args->Clear, "clear the log");
    command.add_flag("--follow", args->Follow,
                     "then show each change as it comes (the lines from the first that "
                     "changed) until interrupted");
    command.add_option("--for", args->ForMs, "with --follow: end after this many milliseconds")
        ->check(CLI::Range(1, 86400000));
    return [context, args] {
        if (args->Clear && args->Follow)
            return UsageError(context.Session, "log: --clear and --follow do not go together");
        std::unique_ptr<TSignalFd> own;
        return Log(context.Session, args->Clear, args->Follow,
                   SignalsFor(context, args->Follow, own), std::chrono::milliseconds(args->ForMs));
    };
}

} // namespace ZEMBCli
