// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

struct TProcessItem {
    std::string ExeName;  // file name of the process's executable
    std::string FullPath; // full path of the process's executable
    std::uint32_t ProcessID = 0;
};

// A snapshot of the processes this user may inspect, taken from /proc at creation and then
// only filtered down. Processes whose executable cannot be read are left out.
class TProcessList {
public:
    TProcessList(); // takes the snapshot
    explicit TProcessList(std::vector<TProcessItem> items) : items_(std::move(items)) {}

    const std::vector<TProcessItem>& Items() const { return items_; }
    std::size_t Count() const { return items_.size(); }

    // Keeps the processes running the executable Name (empty: this program); by full path,
    // or by file name; both without regard to case. Returns the number left.
    std::size_t FilterByExe(const std::string& name, bool byFullPath);
    const TProcessItem* FindProcessID(std::uint32_t processID) const;
    bool HasProcessID(std::uint32_t processID) const { return FindProcessID(processID) != nullptr; }

private:
    std::vector<TProcessItem> items_;
};

// Counts the running copies of an executable (empty Name: this program, itself included).
std::uint16_t CountProcessInstances(const std::string& name = {}, bool byFullPath = false);

// One variable of a process's environment as the process was started (/proc/<pid>/environ):
// empty when the environment does not hold it, nothing when it cannot be read (another
// user's process).
std::optional<std::string> ReadProcessEnvironment(std::uint32_t processID, const std::string& name);
using TEnvironmentReader =
    std::function<std::optional<std::string>(std::uint32_t processID, const std::string& name)>;

// A server's world is its session bus: of copies, counts those that serve the session bus at
// busAddress, i.e. whose DBUS_SESSION_BUS_ADDRESS equals it. A copy whose environment cannot
// be read counts when busHasServer() (asked at most once) says another server already serves
// this bus.
std::uint16_t CountSameBusInstances(const TProcessList& copies, const std::string& busAddress,
                                    const TEnvironmentReader& readEnvironment,
                                    const std::function<bool()>& busHasServer);
// The running copies of this program that serve this process's session bus, itself included.
std::uint16_t CountSessionInstances(const std::function<bool()>& busHasServer);
