// SPDX-License-Identifier: MIT
#include "ZEMBOperator.h"

#include "CommunicationLog.h"
#include "ZEMBRuntime.h"
#include "ZEMB_TLB.h"

#include <systemd/sd-bus.h>
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

void ReplyLog(const TBusMessage& call) {
    std::vector<const char*> lines;
    lines.reserve(CommunicationLog().Count() + 1);
    for (const std::string& line : CommunicationLog().Lines()) {
        lines.push_back(line.c_str());
    }
    lines.push_back(nullptr);
    sd_bus_message* reply = nullptr;
    if (sd_bus_message_new_method_return(call.Get(), &reply) < 0) {
        return;
    }
    TBusMessage owned = TBusMessage::Adopt(reply);
    if (sd_bus_message_append_strv(reply, const_cast<char**>(lines.data())) >= 0) {
        sd_bus_send(nullptr, reply, nullptr);
    }
}
} // namespace

void ServeOperatorInterface(TAutomationServer& server) {
    TZEMBBus& bus = server.Bus();
    server.AddFactoryInterface(
        {kInterface, kXml, [&bus](const TBusMessage& call, std::string_view member) {
             if (member == "GetCommunicationLog") {
                 ReplyLog(call);
             } else if (member == "ClearCommunicationLog") {
                 CommunicationLog().Clear();
                 sd_bus_reply_method_return(call.Get(), "");
             } else {
                 ReplyError(bus, call, SD_BUS_ERROR_UNKNOWN_METHOD,
                            "Unknown method '" + std::string(member) +
                                "' of the operator interface.");
             }
         }});
    CommunicationLog().SetOnChange([&bus] {
        sd_bus_emit_signal(bus.Get(), std::string(ZEMB::FactoryPath).c_str(), kInterface,
                           "CommunicationLogChanged", "");
    });
}

void StopOperatorInterface() {
    CommunicationLog().SetOnChange(nullptr);
}
