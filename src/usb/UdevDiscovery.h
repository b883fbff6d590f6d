// SPDX-License-Identifier: MIT
#pragma once

#include "usb/LinkDevice.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct udev;
struct udev_monitor;

// The device-interface search over libudev. A device exposes an interface class when its
// udev property ZEMB_INTERFACE_GUID holds the class GUID (compared without regard to case).
// Calls block only for the udev database reads; nothing is cached between calls.
class TUdevDiscovery {
public:
    struct TDeviceInterface {
        std::string DevicePath;   // the LinkName
        std::string FriendlyName; // friendly name, else description, else the path
    };

    // One udev context per thread, shared by the thread's collections and opens; none if
    // udev_new fails.
    static std::shared_ptr<TUdevDiscovery> Load();
    ~TUdevDiscovery();
    TUdevDiscovery(const TUdevDiscovery&) = delete;
    TUdevDiscovery& operator=(const TUdevDiscovery&) = delete;

    // The present interfaces of the class, in the order udev returns them, at most maxCount.
    std::vector<TDeviceInterface> FindInterfaces(const TGUID& interfaceGUID,
                                                 std::size_t maxCount = 128) const;
    // The current device node of a libusb link device named by LinkName; none if it is gone.
    std::optional<std::string> DeviceNodeOf(const std::string& linkName) const;

private:
    explicit TUdevDiscovery(udev* context) : udev_(context) {}
    udev* udev_;
};

// "usb#vid_vvvv&pid_pppp#INSTANCE#{GUID}" of a libusb link device.
std::string MakeLinkName(const std::string& vendorId, const std::string& productId,
                         const std::string& instance, const TGUID& interfaceGUID);

// The udev monitor of USB uevents ("udev" netlink source, as udevd passes them on; subsystem
// "usb", and only the given device type unless it is empty).
// Contract: Fd() is non-blocking and readable when uevents wait; Receive() never blocks and
// returns false when no uevent is left. A failure to create leaves Valid() false.
class TUdevMonitor {
public:
    struct TUevent {
        std::string Action;
        std::string SysPath;
        // The LinkName discovery gives the device; none when it names no interface class.
        std::optional<std::string> LinkName;
    };

    explicit TUdevMonitor(const std::string& deviceType = "usb_device");
    ~TUdevMonitor();
    TUdevMonitor(const TUdevMonitor&) = delete;
    TUdevMonitor& operator=(const TUdevMonitor&) = delete;

    bool Valid() const { return monitor_ != nullptr; }
    int Fd() const;
    // Takes one uevent.
    bool Receive(TUevent& event);

private:
    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
};
