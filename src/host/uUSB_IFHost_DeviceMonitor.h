// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct udev;
struct udev_monitor;
struct sd_event;
struct sd_event_source;

// The udev monitor of USB device uevents ("udev" netlink source, as udevd passes them on;
// subsystem "usb", device type "usb_device").
// Contract: Fd() is non-blocking and readable when uevents wait; Receive() never blocks and
// returns false when no uevent is left. A failure to create leaves Valid() false.
class TUdevMonitor {
public:
    TUdevMonitor();
    ~TUdevMonitor();
    TUdevMonitor(const TUdevMonitor&) = delete;
    TUdevMonitor& operator=(const TUdevMonitor&) = delete;

    bool Valid() const { return monitor_ != nullptr; }
    int Fd() const;
    // Takes one uevent; Action and SysPath describe it.
    bool Receive(std::string& Action, std::string& SysPath);

private:
    struct udev* udev_ = nullptr;
    struct udev_monitor* monitor_ = nullptr;
};

// Feeds device changes from the udev monitor into one handler on an sd-event loop. Each USB
// device that arrives or leaves ("add", "remove") starts or extends a burst; the burst ends
// when the bus has been quiet for QuietTime (at most MaxDelay after its first uevent), so
// devices plugged together make one call of the handler. Runs on the loop's thread; never
// blocks.
class TDeviceChangeMonitor {
public:
    using THandler = std::function<void()>;
    static constexpr std::chrono::milliseconds QuietTime{100};
    static constexpr std::chrono::milliseconds MaxDelay{1000};

    // False from Started() when the monitor or the loop sources could not be set up.
    TDeviceChangeMonitor(sd_event* Loop, THandler Handler);
    ~TDeviceChangeMonitor();
    TDeviceChangeMonitor(const TDeviceChangeMonitor&) = delete;
    TDeviceChangeMonitor& operator=(const TDeviceChangeMonitor&) = delete;

    bool Started() const { return io_ != nullptr; }
    // Number of uevents taken and of handler calls made; for the log and the tests.
    unsigned long EventCount() const { return events_; }
    unsigned long BurstCount() const { return bursts_; }

private:
    struct TSourceUnref {
        void operator()(sd_event_source* source) const;
    };
    using TSource = std::unique_ptr<sd_event_source, TSourceUnref>;

    static int OnReadable(sd_event_source*, int, unsigned int, void* userdata);
    static int OnQuiet(sd_event_source*, std::uint64_t, void* userdata);
    void Arm();

    sd_event* loop_;
    THandler handler_;
    TUdevMonitor monitor_;
    TSource io_;
    TSource timer_;
    std::uint64_t firstEvent_ = 0;
    unsigned long events_ = 0;
    unsigned long bursts_ = 0;
};
