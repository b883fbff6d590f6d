// SPDX-License-Identifier: MIT
#pragma once

// What the end-to-end tests need around the real programs besides child processes: a private
// session bus of their own whose service folder the test chooses, and questions to that bus.

#include "TestProcess.h"

#include <map>
#include <string>

// A session bus of the test's own (dbus-daemon with a configuration that names the service
// folder), so activation finds exactly the files the test's server writes.
class TPrivateBus {
public:
    explicit TPrivateBus(const std::string& serviceFolder, const std::string& configFile,
                         const std::map<std::string, std::string>& env);
    bool Started() const { return !Address_.empty(); }
    const std::string& Address() const { return Address_; }

    bool HasOwner(const std::string& name);
    // The process that owns the name; -1 when none.
    pid_t OwnerPid(const std::string& name);

private:
    TProcess Daemon_;
    std::string Address_;
};
