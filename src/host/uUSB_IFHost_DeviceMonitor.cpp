// SPDX-License-Identifier: MIT
#include "uUSB_IFHost_DeviceMonitor.h"

#include "ConfDebugString.h"

#include <algorithm>
#include <exception>
#include <libudev.h>
#include <sys/epoll.h>
#include <systemd/sd-event.h>
#include <time.h>

TUdevMonitor::TUdevMonitor() {
    udev_ = udev_new();
    if (!udev_)
        return;
    monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
    if (!monitor_)
        return;
    // Every link device, whatever its driver, is a USB device: its own uevents are enough,
    // those of its interfaces and of unrelated devices (batteries, disks) need no rescan.
    if (udev_monitor_filter_add_match_subsystem_devtype(monitor_, "usb", "usb_device") < 0 ||
        udev_monitor_enable_receiving(monitor_) < 0) {
        monitor_ = udev_monitor_unref(monitor_);
    }
}

TUdevMonitor::~TUdevMonitor() {
    if (monitor_)
        udev_monitor_unref(monitor_);
    if (udev_)
        udev_unref(udev_);
}

int TUdevMonitor::Fd() const {
    return monitor_ ? udev_monitor_get_fd(monitor_) : -1;
}

bool TUdevMonitor::Receive(std::string& Action, std::string& SysPath) {
    if (!monitor_)
        return false;
    struct udev_device* device = udev_monitor_receive_device(monitor_);
    if (!device)
        return false;
    const char* action = udev_device_get_action(device);
    const char* sysPath = udev_device_get_syspath(device);
    Action = action ? action : "";
    SysPath = sysPath ? sysPath : "";
    udev_device_unref(device);
    return true;
}

void TDeviceChangeMonitor::TSourceUnref::operator()(sd_event_source* source) const {
    sd_event_source_disable_unref(source);
}

TDeviceChangeMonitor::TDeviceChangeMonitor(sd_event* Loop, THandler Handler)
    : loop_(Loop), handler_(std::move(Handler)) {
    if (!loop_ || !monitor_.Valid())
        return;
    sd_event_source* io = nullptr;
    if (sd_event_add_io(loop_, &io, monitor_.Fd(), EPOLLIN, &TDeviceChangeMonitor::OnReadable,
                        this) < 0)
        return;
    sd_event_source* timer = nullptr;
    if (sd_event_add_time_relative(loop_, &timer, CLOCK_MONOTONIC, 0, 0,
                                   &TDeviceChangeMonitor::OnQuiet, this) < 0) {
        sd_event_source_disable_unref(io);
        return;
    }
    sd_event_source_set_enabled(timer, SD_EVENT_OFF);
    timer_.reset(timer);
    io_.reset(io);
}

TDeviceChangeMonitor::~TDeviceChangeMonitor() = default;

int TDeviceChangeMonitor::OnReadable(sd_event_source*, int, unsigned int, void* userdata) {
    auto& self = *static_cast<TDeviceChangeMonitor*>(userdata);
    std::string action, sysPath;
    bool any = false;
    while (self.monitor_.Receive(action, sysPath)) {
        ++self.events_;
        ConfDebugString("WMDeviceChange: " + action + " " + sysPath, "TFrmMessageCatch");
        // Driver binding and attribute changes follow a plug; only arrival and removal count.
        if (action == "add" || action == "remove")
            any = true;
    }
    if (any)
        self.Arm();
    return 0;
}

void TDeviceChangeMonitor::Arm() {
    std::uint64_t now = 0;
    sd_event_now(loop_, CLOCK_MONOTONIC, &now);
    int enabled = SD_EVENT_OFF;
    sd_event_source_get_enabled(timer_.get(), &enabled);
    if (enabled == SD_EVENT_OFF)
        firstEvent_ = now;
    const auto quiet = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(QuietTime).count());
    const auto latest =
        firstEvent_ + static_cast<std::uint64_t>(
                          std::chrono::duration_cast<std::chrono::microseconds>(MaxDelay).count());
    sd_event_source_set_time(timer_.get(), std::min(now + quiet, latest));
    sd_event_source_set_enabled(timer_.get(), SD_EVENT_ONESHOT);
}

int TDeviceChangeMonitor::OnQuiet(sd_event_source*, std::uint64_t, void* userdata) {
    auto& self = *static_cast<TDeviceChangeMonitor*>(userdata);
    ++self.bursts_;
    // An error must not unwind through the loop's C frames: it ends this device change only.
    try {
        if (self.handler_)
            self.handler_();
    } catch (const std::exception& error) {
        ConfDebugString(std::string("TDeviceChangeMonitor: ") + error.what(), "RUVAzerComm");
    } catch (...) {
        ConfDebugString("TDeviceChangeMonitor: unknown error", "RUVAzerComm");
    }
    return 0;
}
