// SPDX-License-Identifier: MIT
#include "server/CommunicationLog.h"

#include "base/DebugLog.h"
#include "host/HostOperations.h"
#include "server/ServerObject.h"

#include <exception>

void TCommunicationLog::Append(std::string line) {
    lines_.push_back(std::move(line));
    Changed();
}

void TCommunicationLog::Replace(std::size_t index, std::string line) {
    if (index < lines_.size()) {
        lines_[index] = std::move(line);
        Changed();
    }
}

void TCommunicationLog::Clear() {
    lines_.clear();
    Changed();
}

TCommunicationLog::TChanged TCommunicationLog::SetOnChange(TChanged handler) {
    std::swap(handler, onChange_);
    return handler;
}

void TCommunicationLog::Changed() {
    if (onChange_) {
        onChange_();
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
        // After the operator cleared the log there is no pair left to replace: append.
        if (state.LastLineWasTraffic && ConnectID == state.LastTrafficConnectID &&
            log.Count() >= 2) {
            log.Replace(log.Count() - 2, std::move(first));
            log.Replace(log.Count() - 1, std::move(second));
        } else {
            log.Append(std::move(first));
            log.Append(std::move(second));
        }
        state.LastTrafficConnectID = ConnectID;
        state.LastLineWasTraffic = true;
    } catch (const std::exception& error) {
        ConfDebugString("TZEMBServer.LogStats " + ExceptionClassName(error) + " " + error.what(),
                        "RUVAzer Comm");
    }
}
