// SPDX-License-Identifier: MIT
#pragma once

// The server's communication log through its operator interface (contract/OperatorInterface.h):
// the lines an operator window would show, read without being a client.
// Its own connection to the session bus, apart from the client library's, so reading
// the log never takes part in a client's registrations.

#include "bus/BusConnection.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace ZEMBCli {

class TOperatorLog {
public:
    TOperatorLog() = default;
    ~TOperatorLog();
    TOperatorLog(const TOperatorLog&) = delete;
    TOperatorLog& operator=(const TOperatorLog&) = delete;

    // Connects to the session bus. False with error set when there is none.
    bool Open(const std::string& serverName, std::string& error);
    // Each call blocks until the server answers or the time-out passes; false with error set
    // (the bus's error name and text) when it does not answer.
    bool Lines(std::vector<std::string>& lines, std::chrono::milliseconds timeout,
               std::string& error);
    bool Clear(std::chrono::milliseconds timeout, std::string& error);

    // Subscribes to the log's change signal; TakeChanged() then says whether one arrived since
    // it was last asked.
    bool Watch(std::string& error);
    bool TakeChanged();
    // For a poll loop: the connection's descriptor and events, then Process() to read what
    // arrived without blocking. Process is false when the connection is lost.
    int Fd() const;
    short Events() const;
    int TimeoutMs() const;
    bool Process();

private:
    std::string Server_;
    std::shared_ptr<TZEMBBus> Bus_;
    TBusSignalMatch Match_; // goes before the connection
    bool Changed_ = false;
};

} // namespace ZEMBCli
