// SPDX-License-Identifier: MIT
#pragma once

// zemb-server on simulated link devices (zemb-sim --devices FILE --control SOCKET -- SERVER...):
// started, and waited for until it owns org.zemb.ZEMB.

#include "PrivateBus.h"
#include "TempFolder.h"
#include "TestProcess.h"
#include "bus/Marshal.h"
#include "contract/OperatorInterface.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

struct TSimCommand {
    std::string DevicesFile;
    std::string ControlSocket;
    std::vector<std::string> Server; // the server's program and its arguments
    std::map<std::string, std::string> Env;
};

// Starts the command in process and waits (StartBound) until the server owns org.zemb.ZEMB on
// bus. False with why (and the output so far) when it ended first or took too long.
bool StartSimulatedServer(TProcess& process, const TSimCommand& command, TZEMBBus& bus,
                          std::string& why);

// The simulated server in a scratch folder of its own that holds its device file, QUOREN.INI
// (groups shown on every debug line), FENWY.INI and its data folder, on the session bus the
// test runs in. Its debug output is read from a pipe; its communication log through the
// operator interface. Everything is ended by pid and removed when the object goes.
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

    // Debug-output lines written since the last call. The server writes a turn's lines after
    // the turn's replies, so a reply may arrive before its call's lines.
    std::vector<std::string> TakeDebugLines();
    // Only the server object's groups (its traces, its barrier and the ungrouped lines): the
    // first `expected` waited for (bounded), then whatever else has come.
    std::vector<std::string> TakeServerTraces(std::size_t expected);

    // The test's own connection to the session bus the server serves.
    TZEMBBus& Bus() { return *Bus_; }
    // A method of the operator interface with args; false when no method return came.
    template <typename... A>
    bool CallOperator(std::string_view method, TBusMessage& reply, const A&... args) {
        TBusMessage call;
        return Bus_->NewMethodCall(call, ZEMB::BusName.data(), ZEMB::FactoryPath.data(),
                                   ZEMB::OperatorInterface.data(),
                                   std::string(method).c_str()) >= 0 &&
               ZEMB::AppendArgs(call, args...) && CallOperator(call, reply);
    }
    // The communication log through the operator interface; a line that says so when the
    // call failed.
    std::vector<std::string> CommunicationLog();
    bool ClearCommunicationLog();
    // zemb-sim ctl REQUEST... on this server's control socket; true when it succeeded.
    bool Control(const std::vector<std::string>& request);

private:
    bool CallOperator(TBusMessage& call, TBusMessage& reply);
    TTempFolder Folder_;
    TProcess Process_;
    std::shared_ptr<TZEMBBus> Bus_;
};
