// SPDX-License-Identifier: MIT
#pragma once

// The operator interface: the communication log for operators without a window, served by the
// server at FactoryPath beside the class factory. It reads no client state and changes none.
//   GetCommunicationLog() → as Lines      the log's lines, oldest first
//   ClearCommunicationLog()               empties the log
//   signal CommunicationLogChanged()      after every change of the log

#include <string>
#include <string_view>

namespace ZEMB {

inline constexpr std::string_view OperatorInterface = "org.zemb.ZEMB.Operator";
inline constexpr std::string_view GetCommunicationLogMethod = "GetCommunicationLog";
inline constexpr std::string_view ClearCommunicationLogMethod = "ClearCommunicationLog";
inline constexpr std::string_view CommunicationLogChangedSignal = "CommunicationLogChanged";

// The interface's introspection XML (one <interface> element), from the names above.
std::string OperatorInterfaceXml();

} // namespace ZEMB
