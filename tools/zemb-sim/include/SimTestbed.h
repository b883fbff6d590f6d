// SPDX-License-Identifier: MIT
#pragma once

#include "SimLinkDevice.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// A umockdev testbed holding simulated link devices, for the code under test in this process
// (run it under umockdev-wrapper) or in a child that inherits LD_PRELOAD and UMOCKDEV_DIR.
//
// libusb devices get a device node whose usbfs ioctls (claim/release interface, capabilities,
// submit/reap/discard URB, GET_SPEED, CONNINFO) and read() of the descriptors are answered by
// a handler. umockdev dispatches that handler on its own worker thread, so the code under test
// may block in libusb on the thread that owns the testbed: nothing needs to spin a GLib loop.
// Pipe-file devices get a device directory with the FIFOs PIPE00 (device to host) and PIPE01
// (host to device), served by a thread of the testbed.
//
// Plug sends the udev "add" event, unplug sends "remove" and then removes the sysfs entry. A
// device keeps its port path across replugs; its libusb node gets a new device number at
// every plug, as real hardware does.
//
// umockdev has one testbed per process at a time (UMOCKDEV_DIR): keep one TSimTestbed alive
// at a time. Not copyable; the destructor stops the threads, removes every device, its FIFOs and
// the testbed directory. Methods may be called from any thread.
class TSimTestbed {
public:
    // Creates the testbed; raises std::runtime_error if umockdev cannot create it.
    TSimTestbed();
    ~TSimTestbed();
    TSimTestbed(const TSimTestbed&) = delete;
    TSimTestbed& operator=(const TSimTestbed&) = delete;

    // Adds a device and plugs it when config.Plugged. False (and nothing added) for a name
    // already present (names compare without regard to case) or an invalid name.
    bool AddDevice(const TSimDeviceConfig& config);
    // Plugs or unplugs a device by name; false for an unknown name or when the device already
    // is in that state.
    bool Plug(std::string_view name);
    bool Unplug(std::string_view name);
    bool IsPlugged(std::string_view name) const;

    // The protocol engine of a device (faults, counters); null for an unknown name. Lives as
    // long as the testbed.
    TSimLinkDevice* Device(std::string_view name) const;
    std::vector<std::string> DeviceNames() const; // in the order they were added

    // Where the device is: its sysfs path (/sys/devices/...), its device node while plugged
    // (/dev/bus/usb/BBB/DDD; empty for pipe-file devices and while unplugged), its pipe
    // directory (pipe-file devices; empty otherwise) and its LinkName as discovery builds it.
    std::string SysPath(std::string_view name) const;
    std::string DevNode(std::string_view name) const;
    std::string PipeDir(std::string_view name) const;
    std::string LinkName(std::string_view name) const;

    // True when umockdev's preload library is loaded into this process, i.e. this process's
    // libudev and libusb see testbeds (umockdev-wrapper, or LD_PRELOAD set by zemb-sim).
    // Unlike umockdev_in_mock_environment() it is safe before a testbed exists.
    static bool PreloadActive();

    // The testbed's root directory (UMOCKDEV_DIR).
    std::string RootDir() const;

    // Called (on whichever thread notices it) when a device goes away by itself, i.e. an
    // UnplugMidTransfer fault fired. Set before traffic starts.
    void SetUnplugObserver(std::function<void(const std::string& name)> observer);

    struct TImpl;

private:
    std::unique_ptr<TImpl> impl_;
};

// The interface GUIDs of the grid's searched rows, braced upper case.
inline constexpr std::string_view kSimGuidSilabs = "{CE2511FC-12E2-4916-A004-0C43A172D7D6}";
inline constexpr std::string_view kSimGuidWinUSBSilabs = "{8BB2450C-43E0-4B8A-B573-AC056D538606}";
inline constexpr std::string_view kSimGuidWinUSBST = "{0CEAFF08-B1FD-4D12-B748-353077277F7E}";
inline constexpr std::string_view kSimGuidBriskSilabs = "{1EA50ECA-CCB4-46A0-A79B-C5AE3C4BC250}";
inline constexpr std::string_view kSimGuidBriskWinUSBSilabs =
    "{A33E7016-4D22-494A-BC39-660469003D0D}";
inline constexpr std::string_view kSimGuidBriskWinUSBST = "{7AAB3C16-2F2D-4ED8-AB88-241261450CC6}";
