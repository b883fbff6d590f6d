// SPDX-License-Identifier: MIT
#include "server/CommunicationLog.h"

#include "base/DebugLog.h"
#include "host/HostOperations.h"
#include "server/ServerObject.h"

#include <exception>

void TCommunicationLog::SetMaxLines(std::size_t maxLines) {
    maxLines_ = maxLines == 0 ? DefaultMaxLines : maxLines;
    DropBeyondBound();
}

void TCommunicationLog::Append(std::string line) {
    std::vector<std::string> lines;
    lines.push_back(std::move(line));
    AppendLines(std::move(lines));
}

void TCommunicationLog::AppendLines(std::vector<std::string> lines) {
    if (lines.empty()) {
        return;
    }
    const std::uint64_t first = next_;
    for (std::string& line : lines) {
        lines_.push_back(std::move(line));
        ++next_;
    }
    DropBeyondBound();
    Changed(TChangeKind::Appended, first);
}

bool TCommunicationLog::ReplaceLines(std::uint64_t first, std::vector<std::string> lines) {
    if (lines.empty() || first < FirstNumber() || first > next_ || lines.size() > next_ - first) {
        return false;
    }
    for (std::size_t n = 0; n < lines.size(); ++n) {
        lines_[first - FirstNumber() + n] = std::move(lines[n]);
    }
    Changed(TChangeKind::Replaced, first);
    return true;
}

void TCommunicationLog::Clear() {
    lines_.clear();
    Changed(TChangeKind::Cleared, next_);
}

TCommunicationLog::TChanged TCommunicationLog::SetOnChange(TChanged handler) {
    std::swap(handler, onChange_);
    return handler;
}

void TCommunicationLog::DropBeyondBound() {
    while (lines_.size() > maxLines_) {
        lines_.pop_front();
    }
}

void TCommunicationLog::Changed(TChangeKind kind, std::uint64_t first) {
    if (onChange_) {
        onChange_(TChange{kind, first, next_});
    }
}

TCommunicationLog& CommunicationLog() {
    static TCommunicationLog log;
    return log;
}

TCommLogState& CommLogState() {
    static TCommLogState state;
    return state;
}

void ResetCommLogState() {
    CommLogState() = TCommLogState{};
}

void AddCommLine(const std::string& Line) {
    CommLogState().LastLineWasTraffic = false;
    CommunicationLog().Append(Line);
}

void AddCommResult(std::int32_t ConnectID, bool Ok, const std::string& OpName) {
    std::string line = OpName;
    if (ConnectID != -1) {
        line += " (ConnectID " + std::to_string(ConnectID) + "): ";
    }
    line += Ok ? " ok" : " not ok";
    AddCommLine(line);
}

void LogStats(TUSB_IFHostBase& Host, std::int32_t ConnectID, bool Ok, const std::string& OpName,
              std::size_t ArrayBytes, std::int32_t Count) {
    try {
        std::int32_t totalWrite = 0;
        std::int32_t totalRead = 0;
        Host.TrafficStat(ConnectID, totalWrite, totalRead);
        std::string first = "TrafficStats (ConnectID " + std::to_string(ConnectID) +
                            "): W: " + std::to_string(totalWrite) +
                            "  R: " + std::to_string(totalRead);
        std::string second = OpName + " " + std::to_string(ArrayBytes) + ":" +
                             std::to_string(Count) + " " + (Ok ? " ok" : " not ok");
        TCommunicationLog& log = CommunicationLog();
        TCommLogState& state = CommLogState();
        std::vector<std::string> pair;
        pair.push_back(std::move(first));
        pair.push_back(std::move(second));
        // A pair no longer kept in full (the operator cleared the log, or its first line was
        // dropped at the bound) is not replaced: a new one is appended.
        if (!(state.LastLineWasTraffic && ConnectID == state.LastTrafficConnectID &&
              state.PairFirst + 2 == log.NextNumber() && log.ReplaceLines(state.PairFirst, pair))) {
            state.PairFirst = log.NextNumber();
            log.AppendLines(std::move(pair));
        }
        state.LastTrafficConnectID = ConnectID;
        state.LastLineWasTraffic = true;
    } catch (const std::exception& error) {
        ConfDebugString("TZEMBServer.LogStats " + ExceptionClassName(error) + " " + error.what(),
                        "RUVAzer Comm");
    }
}
