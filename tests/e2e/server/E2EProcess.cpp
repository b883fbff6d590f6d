// SPDX-License-Identifier: MIT
#include "E2EProcess.h"

#include <fstream>
#include <memory>
#include <systemd/sd-bus.h>

TPrivateBus::TPrivateBus(const std::string& serviceFolder, const std::string& configFile,
                         const std::map<std::string, std::string>& env) {
    std::ofstream(configFile)
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig>\n"
           "  <type>session</type>\n"
           "  <listen>unix:tmpdir=/tmp</listen>\n"
           "  <servicedir>"
        << serviceFolder
        << "</servicedir>\n"
           "  <policy context=\"default\">\n"
           "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
           "    <allow eavesdrop=\"true\"/>\n"
           "    <allow own=\"*\"/>\n"
           "  </policy>\n"
           "</busconfig>\n";
    // The daemon passes its environment on to the servers it activates.
    if (!Daemon_.Start({"/usr/bin/dbus-daemon", "--config-file=" + configFile, "--nofork",
                        "--print-address=1"},
                       env))
        return;
    if (!Daemon_.WaitForText("unix:", StartBound))
        return;
    const std::string& out = Daemon_.Output();
    // The address is the first line that looks like one (warnings may come first).
    std::size_t start = out.find("unix:");
    if (start == std::string::npos)
        return;
    Address_ = out.substr(start, out.find('\n', start) - start);
}

namespace {
struct TBusCloser {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using TBusPtr = std::unique_ptr<sd_bus, TBusCloser>;

TBusPtr OpenBus(const std::string& address) {
    sd_bus* raw = nullptr;
    if (sd_bus_new(&raw) < 0)
        return nullptr;
    TBusPtr bus(raw);
    if (sd_bus_set_address(raw, address.c_str()) < 0 || sd_bus_set_bus_client(raw, 1) < 0 ||
        sd_bus_start(raw) < 0)
        return nullptr;
    return bus;
}
} // namespace

bool TPrivateBus::HasOwner(const std::string& name) {
    TBusPtr bus = OpenBus(Address_);
    if (!bus)
        return false;
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int owned = 0;
    if (sd_bus_call_method(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "NameHasOwner", &error, &reply, "s",
                           name.c_str()) >= 0)
        sd_bus_message_read(reply, "b", &owned);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return owned != 0;
}

pid_t TPrivateBus::OwnerPid(const std::string& name) {
    TBusPtr bus = OpenBus(Address_);
    if (!bus)
        return -1;
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    std::uint32_t pid = 0;
    int r = sd_bus_call_method(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "GetConnectionUnixProcessID", &error, &reply,
                               "s", name.c_str());
    if (r >= 0)
        r = sd_bus_message_read(reply, "u", &pid);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return r >= 0 ? static_cast<pid_t>(pid) : -1;
}
