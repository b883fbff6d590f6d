// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

class TUSB_IFHostBase;

// The communication log: one human-readable line per device operation, shown by the operator
// window and read through the operator interface. A model without any display.
// It keeps a bounded number of the newest lines: a server that runs for weeks drops the oldest
// first. Every line gets a sequence number that is never given again (not after a clear
// either), so that a reader can tell which lines it has and which were dropped before it read
// them.
class TCommunicationLog {
public:
    enum class TChangeKind { Appended, Replaced, Cleared };
    // What changed: the lines numbered from First up to the end of the log (Next is the number
    // the next line will get). For a clear First is Next.
    struct TChange {
        TChangeKind Kind = TChangeKind::Appended;
        std::uint64_t First = 0;
        std::uint64_t Next = 0;
    };
    using TChanged = std::function<void(const TChange&)>;

    static constexpr std::size_t DefaultMaxLines = 100000;

    // 0 gives DefaultMaxLines. Lines beyond a smaller bound are dropped at once, oldest first.
    void SetMaxLines(std::size_t maxLines);
    std::size_t MaxLines() const { return maxLines_; }

    // A copy of the kept lines, oldest first.
    std::vector<std::string> Lines() const { return {lines_.begin(), lines_.end()}; }
    std::size_t Count() const { return lines_.size(); }
    // The number of the oldest kept line; equal to NextNumber() when none is kept.
    std::uint64_t FirstNumber() const { return next_ - lines_.size(); }
    std::uint64_t NextNumber() const { return next_; }
    // The kept line with that number; the number must lie in [FirstNumber(), NextNumber()).
    const std::string& Line(std::uint64_t number) const { return lines_[number - FirstNumber()]; }

    void Append(std::string line);
    // Several lines with one change.
    void AppendLines(std::vector<std::string> lines);
    // Replaces the lines numbered from first on, with one change; false, changing nothing,
    // when any of them is no longer kept (dropped or cleared) or not yet written.
    bool ReplaceLines(std::uint64_t first, std::vector<std::string> lines);
    void Clear();
    // Called after every change; the window redraws, the operator interface signals.
    TChanged SetOnChange(TChanged handler);

private:
    void DropBeyondBound();
    void Changed(TChangeKind kind, std::uint64_t first);
    std::deque<std::string> lines_;
    std::uint64_t next_ = 0;
    std::size_t maxLines_ = DefaultMaxLines;
    TChanged onChange_;
};

TCommunicationLog& CommunicationLog();

// The traffic-pair state: the last two lines are a pair of this connection, the first of them
// numbered PairFirst.
struct TCommLogState {
    bool LastLineWasTraffic = false;
    std::int32_t LastTrafficConnectID = -1;
    std::uint64_t PairFirst = 0;
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
