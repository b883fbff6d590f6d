// SPDX-License-Identifier: MIT
#include "server/OperatorInterface.h"

#include "bus/Marshal.h"
#include "contract/InterfaceTable.h"
#include "server/AutomationRuntime.h"
#include "server/CommunicationLog.h"

#include <vector>

namespace {
constexpr const char* kInterface = "org.zemb.ZEMB.Operator";

constexpr const char* kXml = R"( <interface name="org.zemb.ZEMB.Operator">
  <method name="GetCommunicationLog">
   <arg name="Lines" type="as" direction="out"/>
  </method>
  <method name="ClearCommunicationLog"/>
  <signal name="CommunicationLogChanged"/>
 </interface>
)";

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
        ReplyError(bus, call, SD_BUS_ERROR_FAILED, "The log could not be sent.");
        return;
    }
    bus.Send(reply);
}
} // namespace

void ServeOperatorInterface(TAutomationServer& server) {
    TZEMBBus& bus = server.Bus();
    server.AddFactoryInterface(
        {kInterface, kXml, [&bus](const TBusMessage& call, std::string_view member) {
             if (member == "GetCommunicationLog") {
                 ReplyLog(bus, call);
             } else if (member == "ClearCommunicationLog") {
                 CommunicationLog().Clear();
                 bus.ReplyEmpty(call);
             } else {
                 ReplyError(bus, call, SD_BUS_ERROR_UNKNOWN_METHOD,
                            "Unknown method '" + std::string(member) +
                                "' of the operator interface.");
             }
         }});
    CommunicationLog().SetOnChange([&bus] {
        bus.EmitSignal(std::string(ZEMB::FactoryPath).c_str(), kInterface,
                       "CommunicationLogChanged");
    });
}

void StopOperatorInterface() {
    CommunicationLog().SetOnChange(nullptr);
}
