// SPDX-License-Identifier: MIT
#pragma once

// The server's operator interface (contract/OperatorInterface.h): the communication log and the
// tree an operator window would show, read without being a client.
// Its own connection to the session bus, apart from the client library's, so reading
// them never takes part in a client's registrations.

#include "bus/BusConnection.h"

#include <chrono>
#include <cstdint>
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
    // Kept lines numbered from Start on; the log keeps those from FirstKept up to Next.
    struct TLines {
        std::uint64_t FirstKept = 0;
        std::uint64_t Next = 0;
        std::uint64_t Start = 0;
        std::vector<std::string> Lines;
    };
    // Each call blocks until the server answers or the time-out passes; false with error set
    // (the bus's error name and text) when it does not answer.
    // Every kept line numbered from first on, read page by page.
    bool LinesFrom(std::uint64_t first, TLines& lines, std::chrono::milliseconds timeout,
                   std::string& error);
    bool Clear(std::chrono::milliseconds timeout, std::string& error);
    // One node of the operator window's tree (GetDeviceTree), in display order.
    struct TTreeNode {
        std::string Text;
        std::int32_t ImageIndex = -1;
        std::int32_t Depth = 0;
        bool Expanded = false;
    };
    bool DeviceTree(std::chrono::milliseconds timeout, std::vector<TTreeNode>& nodes,
                    std::string& error);

    // The changes told since they were last taken: whether any, whether the log was cleared,
    // and the number of the first line appended or replaced after the last clear (UINT64_MAX
    // for none).
    struct TChanges {
        bool Any = false;
        bool Cleared = false;
        std::uint64_t First = UINT64_MAX;
    };
    // Subscribes to the log's change signal; TakeChanges() then gives what it told.
    bool Watch(std::string& error);
    TChanges TakeChanges();
    // For a poll loop: the connection's descriptor and events, then Process() to read what
    // arrived without blocking. Process is false when the connection is lost.
    int Fd() const;
    short Events() const;
    int TimeoutMs() const;
    bool Process();

private:
    void Told(TBusMessage& signal);

    std::string Server_;
    std::shared_ptr<TZEMBBus> Bus_;
    TBusSignalMatch Match_; // goes before the connection
    TChanges Changes_;
};

} // namespace ZEMBCli
