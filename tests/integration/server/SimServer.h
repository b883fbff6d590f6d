// SPDX-License-Identifier: MIT
#pragma once

// zemb-server on simulated link devices (zemb-sim --devices FILE -- zemb-server), started in a
// scratch folder that holds its device file, QUOREN.INI (groups shown on every debug line),
// FENWY.INI and its data folder. Its debug output is read from a pipe; its communication log
// through the operator interface on the session bus. Everything is ended by pid and removed
// when the object goes.

#include "TempFolder.h"
#include "TestProcess.h"

#include <chrono>
#include <string>
#include <vector>

struct sd_bus;

class TSimServer {
public:
    struct TOptions {
        std::string Devices;  // the device file's text
        std::string FenwyIni; // FENWY.INI's text; none when empty
    };

    TSimServer() = default;
    TSimServer(const TSimServer&) = delete;
    TSimServer& operator=(const TSimServer&) = delete;
    ~TSimServer();

    // Starts the server and waits (bounded) until it owns org.zemb.ZEMB. False with a reason.
    bool Start(const TOptions& options, std::string& why);
    // SIGTERM, passed on by zemb-sim to the server; the exit status, -1 when it had to be
    // killed.
    int Stop();

    // Debug-output lines written since the last call (a call's lines are all written before
    // its reply leaves the server).
    std::vector<std::string> TakeDebugLines();
    // Only the server object's groups: its traces, its barrier and the ungrouped lines.
    std::vector<std::string> TakeServerTraces();

    // The communication log through org.zemb.ZEMB.Operator; false when the call failed.
    bool CommunicationLog(std::vector<std::string>& lines);
    std::vector<std::string> CommunicationLog();
    // The lines added after the first `from` lines.
    std::vector<std::string> CommunicationLogFrom(std::size_t from);
    bool ClearCommunicationLog();
    // The operator interface's CommunicationLogChanged signals received so far, after waiting
    // (bounded) until there are at least `atLeast`.
    int LogChangeSignals(int atLeast, std::chrono::milliseconds bound);

    // Waits (bounded) until the bus name has no owner: from then on the bus has told the
    // server that the client left, ahead of any call made afterwards. False when the bound
    // passed first.
    bool WaitForNameGone(const std::string& name, std::chrono::milliseconds bound);

    // zemb-sim ctl REQUEST... on this server's control socket; true when it succeeded.
    bool Control(const std::vector<std::string>& request);

private:
    // Waits (bounded) until the name has an owner (owned) or none; for an owner only while
    // the server runs.
    bool WaitForOwner(const std::string& name, bool owned, std::chrono::milliseconds bound);

    TTempFolder Folder_;
    TProcess Process_;
    sd_bus* Bus_ = nullptr;
    struct sd_bus_slot* LogChanged_ = nullptr;
    int LogChanges_ = 0;
};
