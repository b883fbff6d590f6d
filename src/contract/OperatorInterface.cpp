// SPDX-License-Identifier: MIT
#include "contract/OperatorInterface.h"

namespace ZEMB {

std::string OperatorInterfaceXml() {
    std::string xml = " <interface name=\"" + std::string(OperatorInterface) + "\">\n";
    xml += "  <method name=\"" + std::string(GetCommunicationLogMethod) + "\">\n";
    xml += "   <arg name=\"Lines\" type=\"as\" direction=\"out\"/>\n";
    xml += "  </method>\n";
    xml += "  <method name=\"" + std::string(ClearCommunicationLogMethod) + "\"/>\n";
    xml += "  <signal name=\"" + std::string(CommunicationLogChangedSignal) + "\"/>\n";
    xml += " </interface>\n";
    return xml;
}

} // namespace ZEMB
