// SPDX-License-Identifier: MIT
#pragma once

#include "SimLinkDevice.h"

#include <optional>
#include <string>
#include <string_view>

class TSimTestbed;

// One line of the control socket's protocol. A request is one line of words separated by
// blanks; the reply is zero or more lines of text followed by a last line "ok" or
// "error: MESSAGE".
//   list                          one line per device: name, driver, plugged|unplugged,
//                                 LinkName, fault in force
//   plug NAME | unplug NAME       plug or pull out a device (udev "add"/"remove")
//   fault NAME KIND [COUNT]       KIND: noreply, short, wrongcode, fail, unplug
//   fault NAME slow MS [COUNT]    replies MS milliseconds late
//   clear NAME                    ends the device's fault
// COUNT is the number of transfers the fault affects; 0 or none: until cleared.
struct TSimControlCommand {
    enum class TVerb : std::uint8_t { List, Plug, Unplug, Fault, Clear };
    TVerb Verb = TVerb::List;
    std::string Name;
    TSimFault Fault;
};

// Parses one request line (without its line end); none and a message on a bad line.
std::optional<TSimControlCommand> ParseSimControlLine(std::string_view line, std::string& error);

// Carries out one request line on the testbed and returns the whole reply, each line ended
// by '\n'.
std::string SimControlReply(TSimTestbed& bed, std::string_view line);
