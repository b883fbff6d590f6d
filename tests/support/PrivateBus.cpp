// SPDX-License-Identifier: MIT
#include "PrivateBus.h"

#include <fstream>

TPrivateBus::TPrivateBus(const std::string& serviceFolder, const std::string& configFile,
                         const std::map<std::string, std::string>& env) {
    std::ofstream(configFile)
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen><servicedir>"
        << serviceFolder
        << "</servicedir><policy context=\"default\"><allow send_destination=\"*\" "
           "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/></policy>"
           "</busconfig>\n";
    if (!Daemon_.Start({"/usr/bin/dbus-daemon", "--config-file=" + configFile, "--nofork",
                        "--print-address=1"},
                       env) ||
        !Daemon_.WaitForText("unix:", StartBound))
        return;
    const std::string& out = Daemon_.Output();
    // The address is the first line that looks like one (warnings may come first).
    std::size_t start = out.find("unix:");
    Address_ = out.substr(start, out.find('\n', start) - start);
    std::string error;
    Connection_ = TZEMBBus::OpenAddress(Address_, error);
}
