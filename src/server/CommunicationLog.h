// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class TUSB_IFHostBase;

// The communication log: one human-readable line per device operation, shown by the operator
// window and read through the operator interface. A model without any display.
class TCommunicationLog {
public:
    using TChanged = std::function<void()>;

    const std::vector<std::string>& Lines() const { return lines_; }
    std::size_t Count() const { return lines_.size(); }
    void Append(std::string line);
    void Replace(std::size_t index, std::string line);
    void Clear();
    // Called after every change; the window redraws, the operator interface signals.
    TChanged SetOnChange(TChanged handler);

private:
    void Changed();
    std::vector<std::string> lines_;
    TChanged onChange_;
};

TCommunicationLog& CommunicationLog();

// The traffic-pair state: the last two lines are a pair of this connection.
struct TCommLogState {
    bool LastLineWasTraffic = false;
    std::int32_t LastTrafficConnectID = -1;
};
TCommLogState& CommLogState();
// LastLineWasTraffic False, LastTrafficConnectID -1, as at start-up.
void ResetCommLogState();

void AddCommLine(const std::string& Line);
// "OpName (ConnectID n):  ok" / "OpName not ok" for ConnectID -1.
void AddCommResult(std::int32_t ConnectID, bool Ok, const std::string& OpName);
// The traffic pair of a transfer: the connection's totals and this transfer's bytes, kept in
// place while transfers on one connection follow each other.
void LogStats(TUSB_IFHostBase& Host, std::int32_t ConnectID, bool Ok, const std::string& OpName,
              std::size_t ArrayBytes, std::int32_t Count);
