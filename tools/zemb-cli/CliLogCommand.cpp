// SPDX-License-Identifier: MIT
// log: the communication log through the server's operator interface.
#include "CliCommands.h"
#include "CliOperatorLog.h"

#include <algorithm>
#include <cstdint>
#include <deque>

namespace ZEMBCli {

namespace {

// Shown, cleared, or shown and then followed (each change shows the lines from the first one
// that changed, read from there on only) until a signal or the time is up.
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
    // The newest lines shown, numbered from next - tail.size() up to next: a line read again
    // (a replaced traffic pair) is shown again only when it reads differently.
    constexpr std::size_t TailLines = 64;
    std::deque<std::string> tail;
    std::uint64_t next = 0;
    // Reads the kept lines numbered from `from` on and shows them from the first one that
    // differs from what was shown; after a clear, tells so first.
    auto show = [&](std::uint64_t from, bool initial, bool cleared) -> bool {
        TOperatorLog::TLines read;
        if (!log->LinesFrom(from, read, timeout, error)) {
            TJson failed = CallJson("log", "GetCommunicationLog");
            output.Error(std::move(failed), "GetCommunicationLog failed: " + error);
            return false;
        }
        if (cleared || read.Start > next)
            tail.clear();
        std::size_t same = 0;
        for (std::uint64_t tailStart = next - tail.size();
             same < read.Lines.size() && read.Start + same >= tailStart &&
             read.Start + same < next && tail[read.Start + same - tailStart] == read.Lines[same];)
            ++same;
        while (!tail.empty() && next > read.Start) {
            tail.pop_back();
            --next;
        }
        for (const std::string& line : read.Lines)
            tail.push_back(line);
        while (tail.size() > TailLines)
            tail.pop_front();
        next = read.Start + read.Lines.size();

        if (!initial && !cleared && same == read.Lines.size())
            return true;
        TJson answer = CallJson("log", "GetCommunicationLog");
        answer.Set("from", static_cast<std::int64_t>(read.Start + same - read.FirstKept));
        TJson& array = answer.Set("lines", TJson::Array());
        std::vector<std::string> text;
        if (cleared)
            text.push_back("(communication log cleared)");
        for (std::size_t n = same; n < read.Lines.size(); ++n) {
            array.Add(read.Lines[n]);
            text.push_back(read.Lines[n]);
        }
        output.Answer(answer, text);
        return true;
    };
    if (!show(0, true, false))
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
        const TOperatorLog::TChanges changes = log->TakeChanges();
        if (!changes.Any)
            return true;
        // Only what changed is read: from the first changed line, or all after a clear.
        return show(changes.Cleared ? 0 : std::min(changes.First, next), false, changes.Cleared);
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
