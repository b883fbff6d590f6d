// SPDX-License-Identifier: MIT
#include "server/OperatorInterface.h"

#include "base/DebugLog.h"
#include "bus/Marshal.h"
#include "contract/InterfaceTable.h"
#include "contract/OperatorInterface.h"
#include "server/AutomationRuntime.h"
#include "server/CommunicationLog.h"
#include "server/DeviceTree.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <unistd.h>
#include <vector>

namespace {

std::function<bool()>& ShowWindowHook() {
    static std::function<bool()> hook;
    return hook;
}

void ReplyShowWindow(TZEMBBus& bus, const TBusMessage& call) {
    bool shown = false;
    if (ShowWindowHook()) {
        try {
            shown = ShowWindowHook()();
        } catch (const std::exception& e) {
            ConfDebugString(std::string("zemb-server: ShowWindow failed: ") + e.what());
        }
    } else {
        ConfDebugString("zemb-server: ShowWindow: no window to show, this server runs without one");
    }
    TBusMessage reply = TBusMessage::MethodReturn(call);
    if (reply && ZEMB::AppendArgs(reply, shown)) {
        bus.Send(reply);
    }
}

// The kept lines numbered from first on: at most count of them, and no more than fit in
// LogReplyBytes (at least one). Client names may be in any 8-bit code page; D-Bus takes UTF-8
// only.
std::vector<std::string> LinesFrom(std::uint64_t first, std::uint64_t count) {
    const TCommunicationLog& log = CommunicationLog();
    std::vector<std::string> texts;
    std::size_t bytes = 0;
    for (std::uint64_t number = std::max(first, log.FirstNumber());
         number < log.NextNumber() && texts.size() < count; ++number) {
        std::string text = ZEMB::ToValidUtf8(log.Line(number));
        bytes += text.size();
        if (!texts.empty() && bytes > ZEMB::LogReplyBytes) {
            break;
        }
        texts.push_back(std::move(text));
    }
    return texts;
}

// The newest lines that fit in LogReplyBytes.
std::vector<std::string> NewestLines() {
    const TCommunicationLog& log = CommunicationLog();
    std::uint64_t first = log.NextNumber();
    std::size_t bytes = 0;
    while (first > log.FirstNumber()) {
        bytes += ZEMB::ToValidUtf8(log.Line(first - 1)).size();
        if (bytes > ZEMB::LogReplyBytes) {
            break;
        }
        --first;
    }
    return LinesFrom(first, log.Count());
}

void Reply(TZEMBBus& bus, const TBusMessage& call, const std::vector<std::string>& lines,
           bool numbered) {
    TBusMessage reply = TBusMessage::MethodReturn(call);
    if (!reply) {
        return;
    }
    const TCommunicationLog& log = CommunicationLog();
    if ((numbered && !ZEMB::AppendArgs(reply, log.FirstNumber(), log.NextNumber())) ||
        !reply.AppendStrings(lines)) {
        ReplyError(bus, call, BusErrorName::Failed, "The log could not be sent.");
        return;
    }
    bus.Send(reply);
}

void ReplyRange(TZEMBBus& bus, const TBusMessage& call) {
    TBusMessage args = call;
    std::uint64_t first = 0;
    std::uint32_t count = 0;
    if (!args.HasSignature(ZEMB::GetCommunicationLogRangeArgs) ||
        !ZEMB::ReadArgs(args, first, count)) {
        ReplyError(bus, call, BusErrorName::InvalidArgs,
                   "GetCommunicationLogRange takes (t First, u Count).");
        return;
    }
    Reply(bus, call, LinesFrom(first, count), true);
}

// Text from the host (a device's or client's name) may be in any 8-bit code page.
void ReplyTree(TZEMBBus& bus, const TBusMessage& call, TServerContext& context) {
    const std::vector<TDeviceTreeNode> nodes = RefreshTree(context);
    TBusMessage reply = TBusMessage::MethodReturn(call);
    if (!reply) {
        return;
    }
    bool ok = reply.OpenContainer('a', ("(" + std::string(ZEMB::DeviceTreeNode) + ")").c_str());
    for (const TDeviceTreeNode& node : nodes) {
        ok = ok && reply.OpenContainer('r', std::string(ZEMB::DeviceTreeNode).c_str()) &&
             ZEMB::AppendArgs(reply, ZEMB::ToValidUtf8(node.Text),
                              static_cast<std::int32_t>(node.ImageIndex),
                              static_cast<std::int32_t>(node.Depth), node.Expanded) &&
             reply.CloseContainer();
    }
    if (!ok || !reply.CloseContainer()) {
        ReplyError(bus, call, BusErrorName::Failed, "The tree could not be sent.");
        return;
    }
    bus.Send(reply);
}

std::uint32_t KindOf(TCommunicationLog::TChangeKind kind) {
    switch (kind) {
    case TCommunicationLog::TChangeKind::Replaced:
        return ZEMB::clReplaced;
    case TCommunicationLog::TChangeKind::Cleared:
        return ZEMB::clCleared;
    case TCommunicationLog::TChangeKind::Appended:
        break;
    }
    return ZEMB::clAppended;
}

// The changes of a few turns of the loop, told with one signal shortly after: a stream of
// transfers costs the bus daemon one signal to fan out now and then, not one a call.
struct TPendingChange {
    bool Any = false;
    TCommunicationLog::TChange Change;

    // The merged change still lets a reader catch up by reading from First: a clear makes it a
    // clear (with the lines appended since, from First, the number at the clear, on); otherwise
    // First is the lowest changed line and a replacement makes the whole a replacement.
    void Merge(const TCommunicationLog::TChange& change) {
        using TKind = TCommunicationLog::TChangeKind;
        if (!Any || change.Kind == TKind::Cleared) {
            Change = change;
        } else {
            if (Change.Kind != TKind::Cleared) {
                Change.First = std::min(Change.First, change.First);
                if (change.Kind == TKind::Replaced)
                    Change.Kind = TKind::Replaced;
            }
            Change.Next = change.Next;
        }
        Any = true;
    }
};

// Undoes what ServeOperatorInterface set on the bus.
std::function<void()>& StopHook() {
    static std::function<void()> stop;
    return stop;
}

void EmitChanged(TZEMBBus& bus, const TCommunicationLog::TChange& change) {
    TBusMessage signal;
    if (bus.NewSignal(signal, std::string(ZEMB::FactoryPath).c_str(),
                      std::string(ZEMB::OperatorInterface).c_str(),
                      std::string(ZEMB::CommunicationLogChangedSignal).c_str()) >= 0 &&
        ZEMB::AppendArgs(signal, KindOf(change.Kind), change.First, change.Next)) {
        bus.Send(signal);
    }
}
} // namespace

void ServeOperatorInterface(TAutomationServer& server, TServerContext& context) {
    TZEMBBus& bus = server.Bus();
    server.AddFactoryInterface({std::string(ZEMB::OperatorInterface), ZEMB::OperatorInterfaceXml(),
                                [&bus, &context](const TBusMessage& call, std::string_view member) {
                                    if (member == ZEMB::GetCommunicationLogRangeMethod) {
                                        ReplyRange(bus, call);
                                    } else if (member == ZEMB::GetCommunicationLogMethod) {
                                        Reply(bus, call, NewestLines(), false);
                                    } else if (member == ZEMB::ClearCommunicationLogMethod) {
                                        CommunicationLog().Clear();
                                        bus.ReplyEmpty(call);
                                    } else if (member == ZEMB::ShowWindowMethod) {
                                        ReplyShowWindow(bus, call);
                                    } else if (member == ZEMB::GetDeviceTreeMethod) {
                                        ReplyTree(bus, call, context);
                                    } else {
                                        ReplyError(bus, call, BusErrorName::UnknownMethod,
                                                   "Unknown method '" + std::string(member) +
                                                       "' of the operator interface.");
                                    }
                                }});
    auto pending = std::make_shared<TPendingChange>();
    CommunicationLog().SetOnChange(
        [pending](const TCommunicationLog::TChange& change) { pending->Merge(change); });
    bus.SetHeldOutput(
        [pending] { return pending->Any; },
        [&bus, pending] { EmitChanged(bus, std::exchange(*pending, TPendingChange{}).Change); });
    StopHook() = [&bus] { bus.SetHeldOutput(nullptr, nullptr); };
}

void StopOperatorInterface() {
    CommunicationLog().SetOnChange(nullptr);
    if (StopHook())
        std::exchange(StopHook(), nullptr)();
}

void SetShowWindowHook(std::function<bool()> hook) {
    ShowWindowHook() = std::move(hook);
}

bool AskRunningCopyToShowWindow(TZEMBBus& bus) {
    // Only a copy that runs already: a call to a name without owner would start one, and a
    // call to ourselves would wait for an answer that never comes.
    const int owner = bus.NameOwnerPid(std::string(ZEMB::BusName));
    if (owner <= 0 || owner == ::getpid()) {
        ConfDebugString("zemb-server: no other copy serves this session bus to show its window");
        return false;
    }
    TBusMessage reply;
    TBusError error;
    bool shown = false;
    if (bus.CallBlocking(std::string(ZEMB::BusName).c_str(), std::string(ZEMB::FactoryPath).c_str(),
                         std::string(ZEMB::OperatorInterface).c_str(),
                         std::string(ZEMB::ShowWindowMethod).c_str(), std::chrono::seconds(5),
                         reply, error) < 0 ||
        !reply.HasSignature(ZEMB::ShowWindowReply) || !ZEMB::ReadArgs(reply, shown)) {
        ConfDebugString("zemb-server: the running copy did not show its window: " +
                        std::string(error.IsSet() ? error.Message() : "no answer"));
        return false;
    }
    if (!shown) {
        ConfDebugString("zemb-server: the running copy has no window to show");
    }
    return shown;
}
