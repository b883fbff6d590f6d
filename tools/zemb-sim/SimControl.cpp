// SPDX-License-Identifier: MIT
#include "SimControl.h"

#include "SimTestbed.h"

#include <charconv>
#include <vector>

namespace {
std::vector<std::string_view> Words(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r'))
            ++i;
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r')
            ++i;
        if (i > start)
            words.push_back(line.substr(start, i - start));
    }
    return words;
}

bool Number(std::string_view text, unsigned& value) {
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && ec == std::errc() && ptr == text.data() + text.size();
}

std::string Printable(std::string_view text) {
    std::string s;
    for (char c : text.substr(0, 64))
        s += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? '?' : c;
    return s;
}

std::string FaultText(const TSimFault& f) {
    std::string s = "fault=" + std::string(SimFaultName(f.Kind));
    if (f.Kind == TSimFaultKind::None)
        return s;
    if (f.Kind == TSimFaultKind::SlowReply)
        s += " ms=" + std::to_string(f.DelayMs);
    if (f.Kind != TSimFaultKind::UnplugMidTransfer)
        s += f.Count == 0 ? std::string(" count=until-cleared")
                          : " count=" + std::to_string(f.Count);
    return s;
}
} // namespace

std::optional<TSimControlCommand> ParseSimControlLine(std::string_view line, std::string& error) {
    const auto w = Words(line);
    if (w.empty()) {
        error = "empty request";
        return std::nullopt;
    }
    TSimControlCommand c;
    const std::string_view verb = w[0];
    const auto arity = [&](std::size_t min, std::size_t max) {
        if (w.size() < min || w.size() > max) {
            error =
                "usage: " + std::string(verb == "list" ? "list"
                                        : verb == "fault"
                                            ? "fault NAME KIND [COUNT] | fault NAME slow MS [COUNT]"
                                            : std::string(verb) + " NAME");
            return false;
        }
        return true;
    };
    if (verb == "list") {
        if (!arity(1, 1))
            return std::nullopt;
        c.Verb = TSimControlCommand::TVerb::List;
        return c;
    }
    if (verb == "plug" || verb == "unplug" || verb == "clear") {
        if (!arity(2, 2))
            return std::nullopt;
        c.Verb = verb == "plug"     ? TSimControlCommand::TVerb::Plug
                 : verb == "unplug" ? TSimControlCommand::TVerb::Unplug
                                    : TSimControlCommand::TVerb::Clear;
        c.Name = w[1];
        return c;
    }
    if (verb == "fault") {
        if (!arity(3, 5))
            return std::nullopt;
        c.Verb = TSimControlCommand::TVerb::Fault;
        c.Name = w[1];
        const auto kind = SimFaultFromName(w[2]);
        if (!kind || *kind == TSimFaultKind::None) {
            error = "unknown fault '" + Printable(w[2]) +
                    "' (noreply, short, wrongcode, fail, slow, unplug)";
            return std::nullopt;
        }
        c.Fault.Kind = *kind;
        std::size_t next = 3;
        if (*kind == TSimFaultKind::SlowReply) {
            if (w.size() < 4 || !Number(w[3], c.Fault.DelayMs) || c.Fault.DelayMs > 600000) {
                error = "fault NAME slow MS [COUNT]: MS is 0 to 600000 milliseconds";
                return std::nullopt;
            }
            next = 4;
        }
        if (w.size() > next + 1) {
            error = "usage: fault NAME KIND [COUNT] | fault NAME slow MS [COUNT]";
            return std::nullopt;
        }
        if (w.size() == next + 1 && !Number(w[next], c.Fault.Count)) {
            error = "COUNT '" + Printable(w[next]) + "' is not a number of transfers";
            return std::nullopt;
        }
        return c;
    }
    error = "unknown request '" + Printable(verb) + "' (list, plug, unplug, fault, clear)";
    return std::nullopt;
}

std::string SimControlReply(TSimTestbed& bed, std::string_view line) {
    std::string error;
    const auto command = ParseSimControlLine(line, error);
    if (!command)
        return "error: " + error + "\n";
    if (command->Verb == TSimControlCommand::TVerb::List) {
        std::string reply;
        for (const std::string& name : bed.DeviceNames()) {
            const TSimLinkDevice* d = bed.Device(name);
            reply += name + " " + std::string(SimDriverName(d->Config().Driver)) + " " +
                     (bed.IsPlugged(name) ? "plugged " : "unplugged ") + bed.LinkName(name) + " " +
                     FaultText(d->Fault()) + "\n";
        }
        return reply + "ok\n";
    }
    TSimLinkDevice* device = bed.Device(command->Name);
    if (!device)
        return "error: no device named '" + Printable(command->Name) + "'\n";
    switch (command->Verb) {
    case TSimControlCommand::TVerb::Plug:
        if (bed.IsPlugged(command->Name))
            return "error: " + Printable(command->Name) + " is plugged already\n";
        return bed.Plug(command->Name)
                   ? "ok\n"
                   : "error: " + Printable(command->Name) + " cannot be plugged\n";
    case TSimControlCommand::TVerb::Unplug:
        return bed.Unplug(command->Name)
                   ? "ok\n"
                   : "error: " + Printable(command->Name) + " is not plugged\n";
    case TSimControlCommand::TVerb::Fault:
        device->SetFault(command->Fault);
        return "ok\n";
    case TSimControlCommand::TVerb::Clear:
        device->ClearFault();
        return "ok\n";
    case TSimControlCommand::TVerb::List:
        break;
    }
    return "ok\n";
}
