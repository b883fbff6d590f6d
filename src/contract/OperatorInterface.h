// SPDX-License-Identifier: MIT
#pragma once

// The operator interface: the communication log and the tree of devices for operators without
// a window, served by the server at FactoryPath beside the class factory. It changes no client
// state, and reading it registers no client.
//
// The log keeps the newest lines only (FENWY.INI [General] CommunicationLogLines, 100000 when
// 0 or missing), dropping the oldest first. Every line has a sequence number that is never
// given again, not after a clear either: the kept lines are those numbered from FirstKept up
// to, not including, Next. A line replaced in place (a connection's traffic pair) keeps its
// number.
//
//   GetCommunicationLogRange(t First, u Count) → (t FirstKept, t Next, as Lines)
//       at most Count lines, numbered from max(First, FirstKept) on, oldest first; fewer when
//       their text passes LogReplyBytes (at least one line is sent) or the log ends. Count 0
//       asks only for the numbers. A reader pages on from max(First, FirstKept) + lines read.
//   GetCommunicationLog() → as Lines
//       the newest lines whose text fits LogReplyBytes, oldest first: the whole log while it
//       is that small. Kept for readers from before the paging; new readers page.
//   ClearCommunicationLog()
//       drops every line; the numbering goes on.
//   signal CommunicationLogChanged(u Kind, t First, t Next)
//       once for the changes of a short while (10 ms after the turn of the server's loop that
//       made the first of them; at once before the server calls a client back): a stream of
//       calls gives one signal now and then, not one a call. Kind is a TCommunicationLogChange;
//       the lines numbered from First to Next were appended or replaced (Next is the log's
//       Next after the changes; clReplaced when any of them was replaced). For clCleared the
//       log was cleared when its Next was First, and the lines from First to Next were
//       appended since (First is Next when none were). Lines dropped at the bound are not
//       signalled: FirstKept of the next reply tells.
//   ShowWindow() → b Shown
//       shows the main window and brings it to the front: a second copy that found no window
//       of this one to activate (Wayland, no window manager) asks so. Shown is false where the
//       server runs without a window; it then does nothing.
//   GetDeviceTree() → a(siib) Nodes
//       the operator window's tree as it is now, made by the same code as the window's: one
//       (s Text, i ImageIndex, i Depth, b Expanded) per node, in display order (each node
//       before its children, which follow it one Depth deeper). Depth 0 is a device.
//       ImageIndex is a TDeviceTreeImage. Expanded tells whether the window shows the node
//       open (the first device down to its connections; never an information group or a node
//       without children). Empty when the server knows no device: the window then shows
//       "No devices detected".

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ZEMB {

inline constexpr std::string_view OperatorInterface = "org.zemb.ZEMB.Operator";
inline constexpr std::string_view GetCommunicationLogRangeMethod = "GetCommunicationLogRange";
inline constexpr std::string_view GetCommunicationLogMethod = "GetCommunicationLog";
inline constexpr std::string_view ClearCommunicationLogMethod = "ClearCommunicationLog";
inline constexpr std::string_view CommunicationLogChangedSignal = "CommunicationLogChanged";
inline constexpr std::string_view ShowWindowMethod = "ShowWindow";
inline constexpr std::string_view GetDeviceTreeMethod = "GetDeviceTree";

// The signatures of the members' arguments (D-Bus type codes).
inline constexpr std::string_view GetCommunicationLogRangeArgs = "tu";
inline constexpr std::string_view GetCommunicationLogRangeReply = "ttas";
inline constexpr std::string_view GetCommunicationLogReply = "as";
inline constexpr std::string_view CommunicationLogChangedArgs = "utt";
inline constexpr std::string_view ShowWindowReply = "b";
inline constexpr std::string_view GetDeviceTreeReply = "a(siib)";
inline constexpr std::string_view DeviceTreeNode = "siib";

// The Kind of CommunicationLogChanged.
enum TCommunicationLogChange : std::uint32_t {
    clAppended = 0,
    clReplaced = 1,
    clCleared = 2,
};

// The ImageIndex of a tree node: the window's four images, in the order of its image list.
enum TDeviceTreeImage : std::int32_t {
    tiDevice = 0,     // a chip
    tiInfo = 1,       // a red question mark: an information group
    tiValue = 2,      // a small bar: one value
    tiConnection = 3, // a cog
};

// The most line text one reply carries, well below what a bus daemon lets through.
inline constexpr std::size_t LogReplyBytes = std::size_t{4} * 1024 * 1024;

// The interface's introspection XML (one <interface> element), from the names above.
std::string OperatorInterfaceXml();

} // namespace ZEMB
