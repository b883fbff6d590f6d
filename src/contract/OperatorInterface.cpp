// SPDX-License-Identifier: MIT
#include "contract/OperatorInterface.h"

#include <initializer_list>

namespace ZEMB {

namespace {
// The length of the one complete type at `at` of signature (a basic type, an array, a struct).
std::size_t TypeLength(std::string_view signature, std::size_t at) {
    if (signature[at] == 'a')
        return 1 + TypeLength(signature, at + 1);
    if (signature[at] != '(')
        return 1;
    std::size_t end = at + 1;
    while (signature[end] != ')')
        end += TypeLength(signature, end);
    return end + 1 - at;
}

// One <arg> per name, their types taken in order from signature.
std::string Args(std::initializer_list<std::string_view> names, std::string_view signature,
                 std::string_view direction) {
    std::string xml;
    std::size_t at = 0;
    for (std::string_view name : names) {
        const std::size_t length = TypeLength(signature, at);
        xml += "   <arg name=\"" + std::string(name) + "\" type=\"" +
               std::string(signature.substr(at, length)) + "\"";
        if (!direction.empty())
            xml += " direction=\"" + std::string(direction) + "\"";
        xml += "/>\n";
        at += length;
    }
    return xml;
}
} // namespace

std::string OperatorInterfaceXml() {
    std::string xml = " <interface name=\"" + std::string(OperatorInterface) + "\">\n";
    xml += "  <method name=\"" + std::string(GetCommunicationLogRangeMethod) + "\">\n";
    xml += Args({"First", "Count"}, GetCommunicationLogRangeArgs, "in");
    xml += Args({"FirstKept", "Next", "Lines"}, GetCommunicationLogRangeReply, "out");
    xml += "  </method>\n";
    xml += "  <method name=\"" + std::string(GetCommunicationLogMethod) + "\">\n";
    xml += Args({"Lines"}, GetCommunicationLogReply, "out");
    xml += "  </method>\n";
    xml += "  <method name=\"" + std::string(ClearCommunicationLogMethod) + "\"/>\n";
    xml += "  <method name=\"" + std::string(ShowWindowMethod) + "\">\n";
    xml += Args({"Shown"}, ShowWindowReply, "out");
    xml += "  </method>\n";
    xml += "  <method name=\"" + std::string(GetDeviceTreeMethod) + "\">\n";
    xml += Args({"Nodes"}, GetDeviceTreeReply, "out");
    xml += "  </method>\n";
    xml += "  <signal name=\"" + std::string(CommunicationLogChangedSignal) + "\">\n";
    xml += Args({"Kind", "First", "Next"}, CommunicationLogChangedArgs, "");
    xml += "  </signal>\n";
    xml += " </interface>\n";
    return xml;
}

} // namespace ZEMB
