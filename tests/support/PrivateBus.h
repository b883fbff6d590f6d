// SPDX-License-Identifier: MIT
#pragma once

// A session bus of the test's own and questions to a bus, through the bus layer.

#include "TestProcess.h"
#include "bus/BusConnection.h"

#include <map>
#include <memory>
#include <string>

// dbus-daemon with a configuration that names the service folder, so activation finds exactly
// the files the test writes; ended by its pid with the object.
class TPrivateBus {
public:
    // env: the daemon's environment, which it passes on to the servers it activates.
    TPrivateBus(const std::string& serviceFolder, const std::string& configFile,
                const std::map<std::string, std::string>& env);
    bool Started() const { return Connection_ != nullptr; }
    const std::string& Address() const { return Address_; }
    // The test's own connection to it (not null once Started()).
    TZEMBBus& Connection() { return *Connection_; }

    bool HasOwner(const std::string& name) { return Connection_->NameHasOwner(name); }
    // The process that owns the name; -1 when none.
    pid_t OwnerPid(const std::string& name) { return Connection_->NameOwnerPid(name); }

private:
    TProcess Daemon_;
    std::string Address_;
    std::shared_ptr<TZEMBBus> Connection_;
};
