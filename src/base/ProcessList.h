// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
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
