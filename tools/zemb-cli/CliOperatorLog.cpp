// SPDX-License-Identifier: MIT
#include "CliOperatorLog.h"

#include "bus/BusConnection.h"
#include "bus/Marshal.h"
#include "contract/InterfaceTable.h"
#include "contract/OperatorInterface.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <utility>

namespace ZEMBCli {

namespace {

const std::string Path(ZEMB::FactoryPath);
const std::string Interface(ZEMB::OperatorInterface);

// Calls a method of the operator interface without arguments and waits for its reply. False
// with error set to the bus's error name and text (or the local failure) when there is none.
// The bus's error name and text, or the local failure.
std::string ErrorText(int r, const TBusError& busError) {
    if (!busError.Name().empty())
        return std::string(busError.Name()) +
               (busError.Message().empty() ? "" : ": " + std::string(busError.Message()));
    return std::strerror(-r);
}

bool CallOperator(TZEMBBus& bus, const std::string& server, std::string_view member,
                  std::chrono::milliseconds timeout, TBusMessage& reply, std::string& error) {
    TBusError busError;
    int r = bus.CallBlocking(server.c_str(), Path.c_str(), Interface.c_str(),
                             std::string(member).c_str(), timeout, reply, busError);
    if (r >= 0)
        return true;
    error = ErrorText(r, busError);
    return false;
}

} // namespace

TOperatorLog::~TOperatorLog() = default;

bool TOperatorLog::Open(const std::string& serverName, std::string& error) {
    Server_ = serverName;
    Bus_ = TZEMBBus::OpenSession(error);
    return Bus_ != nullptr;
}

bool TOperatorLog::LinesFrom(std::uint64_t first, TLines& lines, std::chrono::milliseconds timeout,
                             std::string& error) {
    // A page size that keeps each reply small; the server also cuts a reply by its size.
    constexpr std::uint32_t PageLines = 10000;
    lines = TLines{};
    for (std::uint64_t from = first;;) {
        TBusMessage call, reply;
        TBusError busError;
        int r = Bus_->NewMethodCall(call, Server_.c_str(), Path.c_str(), Interface.c_str(),
                                    std::string(ZEMB::GetCommunicationLogRangeMethod).c_str());
        if (r >= 0 && !ZEMB::AppendArgs(call, from, PageLines))
            r = -ENOMEM;
        if (r >= 0)
            r = Bus_->CallBlocking(call, timeout, reply, busError);
        if (r < 0) {
            error = ErrorText(r, busError);
            return false;
        }
        std::uint64_t firstKept = 0, next = 0;
        std::vector<std::string> page;
        if (!reply.HasSignature(ZEMB::GetCommunicationLogRangeReply) ||
            !ZEMB::ReadArgs(reply, firstKept, next, page)) {
            error = "unreadable answer";
            return false;
        }
        const std::uint64_t start = std::min(std::max(from, firstKept), next);
        if (from == first) {
            lines.Start = start;
        } else if (start != lines.Start + lines.Lines.size()) {
            // Lines were dropped or cleared between two pages: go on after the gap.
            lines.Lines.clear();
            lines.Start = start;
        }
        lines.FirstKept = firstKept;
        lines.Next = next;
        for (std::string& line : page)
            lines.Lines.push_back(std::move(line));
        from = start + page.size();
        if (page.empty() || from >= next)
            return true;
    }
}

bool TOperatorLog::Clear(std::chrono::milliseconds timeout, std::string& error) {
    TBusMessage reply;
    return CallOperator(*Bus_, Server_, ZEMB::ClearCommunicationLogMethod, timeout, reply, error);
}

bool TOperatorLog::DeviceTree(std::chrono::milliseconds timeout, std::vector<TTreeNode>& nodes,
                              std::string& error) {
    nodes.clear();
    TBusMessage reply;
    if (!CallOperator(*Bus_, Server_, ZEMB::GetDeviceTreeMethod, timeout, reply, error))
        return false;
    const std::string node(ZEMB::DeviceTreeNode);
    bool ok = reply.HasSignature(ZEMB::GetDeviceTreeReply) &&
              reply.EnterContainer('a', ("(" + node + ")").c_str());
    while (ok && reply.EnterContainer('r', node.c_str())) {
        TTreeNode& n = nodes.emplace_back();
        ok = ZEMB::ReadArgs(reply, n.Text, n.ImageIndex, n.Depth, n.Expanded) &&
             reply.ExitContainer();
    }
    if (!ok || !reply.ExitContainer()) {
        error = "unreadable answer";
        return false;
    }
    return true;
}

bool TOperatorLog::Watch(std::string& error) {
    // The bus resolves the well-known name to its current owner.
    int r = Bus_->MatchSignal(Match_, Server_.c_str(), Path.c_str(), Interface.c_str(),
                              std::string(ZEMB::CommunicationLogChangedSignal).c_str(),
                              [this](TBusMessage& signal) { Told(signal); });
    if (r < 0) {
        error = std::string("cannot watch the communication log: ") + std::strerror(-r);
        return false;
    }
    return true;
}

void TOperatorLog::Told(TBusMessage& signal) {
    std::uint32_t kind = ZEMB::clAppended;
    std::uint64_t first = 0, next = 0;
    Changes_.Any = true;
    if (!signal.HasSignature(ZEMB::CommunicationLogChangedArgs) ||
        !ZEMB::ReadArgs(signal, kind, first, next)) {
        // A server that does not say what changed: read everything again.
        Changes_.First = 0;
        return;
    }
    if (kind == ZEMB::clCleared) {
        Changes_.Cleared = true;
        Changes_.First = UINT64_MAX;
    } else {
        Changes_.First = std::min(Changes_.First, first);
    }
}

TOperatorLog::TChanges TOperatorLog::TakeChanges() {
    return std::exchange(Changes_, TChanges{});
}

int TOperatorLog::Fd() const {
    return Bus_->Fd();
}

short TOperatorLog::Events() const {
    return Bus_->Events();
}

int TOperatorLog::TimeoutMs() const {
    const std::uint64_t usec = Bus_->TimeoutUsec();
    if (usec == UINT64_MAX)
        return -1;
    // sd-bus gives an absolute monotonic time.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t nowUsec = static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
                                  static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
    if (usec <= nowUsec)
        return 0;
    const std::uint64_t ms = (usec - nowUsec + 999) / 1000;
    return ms > 60000 ? 60000 : static_cast<int>(ms);
}

bool TOperatorLog::Process() {
    return Bus_->Process();
}

} // namespace ZEMBCli
