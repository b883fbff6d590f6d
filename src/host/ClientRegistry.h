// SPDX-License-Identifier: MIT
#pragma once

#include "base/ProcessList.h"
#include "contract/InterfaceTable.h"
#include "usb/LinkDevice.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TUSB_ConnectedDevices;

// One hooked-up client application.
struct TUSB_HookedUpClientApp {
    TUSBClientAppType ClientAppType{};
    std::int32_t ProcessID = -1;
    std::string ComputerName; // lower case
    std::string ExeName;      // lower case
    std::int32_t ClientAppID = -1;
    std::shared_ptr<ZEMB::IZEMBHost> ZEMBHost; // the client's notification sink, or none
};

// The registry of hooked-up client applications. A registration is dropped only by
// UnhookClientApp or when the same program hooks up again and the process list shows the
// old registration stale.
class TUSB_HookedUpClientApps {
public:
    // Takes a fresh snapshot of the running processes; tests give a fixed one.
    using TProcessListFactory = std::function<TProcessList()>;

    // Registers the server process itself, so it holds ClientAppID 0. A null factory means
    // the real process list.
    explicit TUSB_HookedUpClientApps(TUSB_ConnectedDevices& ConnectedDevices,
                                     TProcessListFactory ProcessList = nullptr);

    std::int32_t NextClientAppID = 0;

    TUSB_HookedUpClientApp* HookupClientApp(TUSBClientAppType ClientAppType, std::int32_t ProcessID,
                                            const std::string& ComputerName,
                                            const std::string& ExeName, std::int32_t& ClientAppID);
    // ProcessID -2 matches any process.
    int IndexOf(TUSBClientAppType ClientAppType, std::int32_t ProcessID,
                const std::string& ComputerName, const std::string& ExeName) const;
    int IndexOfClientAppID(std::int32_t ClientAppID) const;
    TUSB_HookedUpClientApp* FindClientApp(std::int32_t ClientAppID);
    TUSB_HookedUpClientApp* HookedUpClientAppFromIndex(int Index);
    bool UnhookClientApp(std::int32_t ClientAppID);

    int Count() const { return static_cast<int>(items_.size()); }
    // The entries in order of registration.
    const std::vector<std::unique_ptr<TUSB_HookedUpClientApp>>& Items() const { return items_; }

    void SetProcessListFactory(TProcessListFactory ProcessList);

private:
    TUSB_HookedUpClientApp* Add(TUSBClientAppType ClientAppType, std::int32_t ProcessID,
                                const std::string& ComputerName, const std::string& ExeName);

    TUSB_ConnectedDevices& connectedDevices_;
    TProcessListFactory processList_;
    std::vector<std::unique_ptr<TUSB_HookedUpClientApp>> items_;
};
