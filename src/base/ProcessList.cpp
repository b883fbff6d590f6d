// SPDX-License-Identifier: MIT
#include "base/ProcessList.h"

#include "base/ExecutablePaths.h"
#include "base/Text.h"
#include "base/UniqueFd.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <system_error>
#include <unistd.h>

TProcessList::TProcessList() {
    // Processes whose executable link cannot be read (other users', kernel threads) are left
    // out, as processes that cannot be inspected are. Paths are kept whole.
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || !std::all_of(name.begin(), name.end(),
                                         [](unsigned char c) { return std::isdigit(c); })) {
            continue;
        }
        std::error_code linkError;
        auto exe = std::filesystem::read_symlink(entry.path() / "exe", linkError);
        if (linkError) {
            continue;
        }
        TProcessItem item;
        item.FullPath = exe.string();
        // A replaced executable reads as "/path (deleted)"; it still is that program.
        constexpr std::string_view deleted = " (deleted)";
        if (item.FullPath.size() > deleted.size() && item.FullPath.ends_with(deleted)) {
            item.FullPath.resize(item.FullPath.size() - deleted.size());
        }
        item.ExeName = ExtractFileName(item.FullPath);
        item.ProcessID = static_cast<std::uint32_t>(std::stoul(name));
        items_.push_back(std::move(item));
    }
    std::sort(items_.begin(), items_.end(), [](const TProcessItem& a, const TProcessItem& b) {
        return a.ProcessID < b.ProcessID;
    });
}

std::size_t TProcessList::FilterByExe(const std::string& name, bool byFullPath) {
    const std::string target = name.empty() ? ExecutablePath() : name;
    if (byFullPath) {
        const std::string key = ZEMB::UpperCaseText(target);
        std::erase_if(items_, [&](const TProcessItem& item) {
            return ZEMB::UpperCaseText(item.FullPath) != key;
        });
    } else {
        const std::string key = ZEMB::UpperCaseText(ExtractFileName(target));
        std::erase_if(items_, [&](const TProcessItem& item) {
            return ZEMB::UpperCaseText(item.ExeName) != key;
        });
    }
    return items_.size();
}

const TProcessItem* TProcessList::FindProcessID(std::uint32_t processID) const {
    auto it = std::find_if(items_.begin(), items_.end(),
                           [&](const TProcessItem& item) { return item.ProcessID == processID; });
    return it == items_.end() ? nullptr : &*it;
}

std::uint16_t CountProcessInstances(const std::string& name, bool byFullPath) {
    TProcessList list;
    return static_cast<std::uint16_t>(
        std::min<std::size_t>(list.FilterByExe(name, byFullPath), 0xFFFF));
}

std::optional<std::string> ReadProcessEnvironment(std::uint32_t processID,
                                                  const std::string& name) {
    // Another user's process may be opened and still refuse the read: both mean unreadable.
    const std::string path = "/proc/" + std::to_string(processID) + "/environ";
    TUniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) {
        return std::nullopt;
    }
    std::string text;
    if (!ReadToEnd(fd.Get(), text)) {
        return std::nullopt;
    }
    const std::string key = name + "=";
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find('\0', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        if (text.compare(start, key.size(), key) == 0) {
            return text.substr(start + key.size(), end - start - key.size());
        }
        start = end + 1;
    }
    return std::string();
}

std::uint16_t CountSameBusInstances(const TProcessList& copies, const std::string& busAddress,
                                    const TEnvironmentReader& readEnvironment,
                                    const std::function<bool()>& busHasServer) {
    std::optional<bool> served;
    std::size_t count = 0;
    for (const TProcessItem& copy : copies.Items()) {
        std::optional<std::string> address =
            readEnvironment(copy.ProcessID, "DBUS_SESSION_BUS_ADDRESS");
        if (address) {
            count += *address == busAddress ? 1 : 0;
            continue;
        }
        if (!served) {
            served = busHasServer();
        }
        count += *served ? 1 : 0;
    }
    return static_cast<std::uint16_t>(std::min<std::size_t>(count, 0xFFFF));
}

std::uint16_t CountSessionInstances(const std::function<bool()>& busHasServer) {
    TProcessList copies;
    copies.FilterByExe({}, false);
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    return CountSameBusInstances(copies, address ? address : "", ReadProcessEnvironment,
                                 busHasServer);
}
