// SPDX-License-Identifier: MIT
#include "server/OperatorInterface.h"

#include "bus/Marshal.h"
#include "contract/InterfaceTable.h"
#include "contract/OperatorInterface.h"
#include "server/AutomationRuntime.h"
#include "server/CommunicationLog.h"

#include <vector>

namespace {

void ReplyLog(TZEMBBus& bus, const TBusMessage& call) {
    // Client names may be in any 8-bit code page; D-Bus takes UTF-8 only.
    std::vector<std::string> texts;
    texts.reserve(CommunicationLog().Count());
    for (const std::string& line : CommunicationLog().Lines()) {
        texts.push_back(ZEMB::ToValidUtf8(line));
    }
    TBusMessage reply = TBusMessage::MethodReturn(call);
    if (!reply) {
        return;
    }
    if (!reply.AppendStrings(texts)) {
        ReplyError(bus, call, BusErrorName::Failed, "The log could not be sent.");
        return;
    }
    bus.Send(reply);
}
} // namespace

void ServeOperatorInterface(TAutomationServer& server) {
    TZEMBBus& bus = server.Bus();
    server.AddFactoryInterface({std::string(ZEMB::OperatorInterface), ZEMB::OperatorInterfaceXml(),
                                [&bus](const TBusMessage& call, std::string_view member) {
                                    if (member == ZEMB::GetCommunicationLogMethod) {
                                        ReplyLog(bus, call);
                                    } else if (member == ZEMB::ClearCommunicationLogMethod) {
                                        CommunicationLog().Clear();
                                        bus.ReplyEmpty(call);
                                    } else {
                                        ReplyError(bus, call, BusErrorName::UnknownMethod,
                                                   "Unknown method '" + std::string(member) +
                                                       "' of the operator interface.");
                                    }
                                }});
    CommunicationLog().SetOnChange([&bus] {
        bus.EmitSignal(std::string(ZEMB::FactoryPath).c_str(),
                       std::string(ZEMB::OperatorInterface).c_str(),
                       std::string(ZEMB::CommunicationLogChangedSignal).c_str());
    });
}

void StopOperatorInterface() {
    CommunicationLog().SetOnChange(nullptr);
}
