// SPDX-License-Identifier: MIT
#include "host/ClientRegistry.h"

#include "base/DebugLog.h"
#include "base/ExecutablePaths.h"
#include "base/Text.h"
#include "base/VersionRecord.h"
#include "host/ConnectedDevices.h"

#include <algorithm>
#include <cctype>
#include <unistd.h>

TUSB_HookedUpClientApps::TUSB_HookedUpClientApps(TUSB_ConnectedDevices& ConnectedDevices,
                                                 TProcessListFactory ProcessList)
    : connectedDevices_(ConnectedDevices) {
    SetProcessListFactory(std::move(ProcessList));
    std::int32_t own = -1;
    HookupClientApp(aciBase, static_cast<std::int32_t>(getpid()), GetLocalComputerName(),
                    ExecutablePath(), own);
}

void TUSB_HookedUpClientApps::SetProcessListFactory(TProcessListFactory ProcessList) {
    processList_ = ProcessList ? std::move(ProcessList) : [] { return TProcessList(); };
}

TUSB_HookedUpClientApp* TUSB_HookedUpClientApps::Add(TUSBClientAppType ClientAppType,
                                                     std::int32_t ProcessID,
                                                     const std::string& ComputerName,
                                                     const std::string& ExeName) {
    auto entry = std::make_unique<TUSB_HookedUpClientApp>();
    entry->ClientAppType = ClientAppType;
    entry->ProcessID = ProcessID;
    entry->ComputerName = ZEMB::LowerCaseText(ComputerName);
    entry->ExeName = ZEMB::LowerCaseText(ExeName);
    entry->ClientAppID = NextClientAppID;
    // Identifiers are never reused; the counter wraps only after 2^32 hook-ups.
    NextClientAppID = static_cast<std::int32_t>(static_cast<std::uint32_t>(NextClientAppID) + 1u);
    items_.push_back(std::move(entry));
    return items_.back().get();
}

TUSB_HookedUpClientApp* TUSB_HookedUpClientApps::HookupClientApp(TUSBClientAppType ClientAppType,
                                                                 std::int32_t ProcessID,
                                                                 const std::string& ComputerName,
                                                                 const std::string& ExeName,
                                                                 std::int32_t& ClientAppID) {
    ClientAppID = -1;
    TUSB_HookedUpClientApp* result = nullptr;
    const int earlier = IndexOf(ClientAppType, -2, ComputerName, ExeName);
    if (earlier < 0) {
        result = Add(ClientAppType, ProcessID, ComputerName, ExeName);
    } else {
        // The snapshot is a local value: freed on every path, also when it raises.
        TProcessList processes = processList_();
        const std::size_t running = processes.FilterByExe(ZEMB::UpperCaseText(ExeName), true);
        const auto freeEarlier = [&] { items_.erase(items_.begin() + earlier); };
        // One branch per row of the take-over table, in its order, though rows share an outcome.
        if (running == 0) { // NOLINT(bugprone-branch-clone)
            freeEarlier();
        } else if (running == 1) {
            result = items_[static_cast<std::size_t>(earlier)].get();
            result->ProcessID = ProcessID;
        } else if (!processes.HasProcessID(static_cast<std::uint32_t>(ProcessID))) {
            freeEarlier();
        } else if (IndexOf(ClientAppType, ProcessID, ComputerName, ExeName) >= 0) {
            freeEarlier();
        } else {
            result = Add(ClientAppType, ProcessID, ComputerName, ExeName);
        }
    }
    if (result)
        ClientAppID = result->ClientAppID;
    return result;
}

int TUSB_HookedUpClientApps::IndexOf(TUSBClientAppType ClientAppType, std::int32_t ProcessID,
                                     const std::string& ComputerName,
                                     const std::string& ExeName) const {
    const std::string computer = ZEMB::LowerCaseText(ComputerName);
    const std::string exe = ZEMB::LowerCaseText(ExeName);
    for (std::size_t i = 0; i < items_.size(); ++i) {
        const auto& item = *items_[i];
        if (item.ClientAppType == ClientAppType && item.ComputerName == computer &&
            item.ExeName == exe && (ProcessID == -2 || item.ProcessID == ProcessID))
            return static_cast<int>(i);
    }
    return -1;
}

int TUSB_HookedUpClientApps::IndexOfClientAppID(std::int32_t ClientAppID) const {
    for (std::size_t i = 0; i < items_.size(); ++i)
        if (items_[i]->ClientAppID == ClientAppID)
            return static_cast<int>(i);
    return -1;
}

TUSB_HookedUpClientApp* TUSB_HookedUpClientApps::FindClientApp(std::int32_t ClientAppID) {
    const int index = IndexOfClientAppID(ClientAppID);
    return index < 0 ? nullptr : items_[static_cast<std::size_t>(index)].get();
}

TUSB_HookedUpClientApp* TUSB_HookedUpClientApps::HookedUpClientAppFromIndex(int Index) {
    if (!IndexInList(Index, items_.size(), "TUSB_HookedUpClientApps.HookedUpClientAppFromIndex"))
        return nullptr;
    return items_[static_cast<std::size_t>(Index)].get();
}

bool TUSB_HookedUpClientApps::UnhookClientApp(std::int32_t ClientAppID) {
    const int index = IndexOfClientAppID(ClientAppID);
    if (index < 0)
        return false;
    connectedDevices_.RemoveConnections(ClientAppID);
    items_.erase(items_.begin() + index);
    return true;
}
