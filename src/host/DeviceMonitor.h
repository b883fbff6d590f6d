// SPDX-License-Identifier: MIT
#pragma once

#include "base/EventLoop.h"
#include "usb/UdevDiscovery.h"

#include <chrono>
#include <cstdint>
#include <functional>

struct sd_event;

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

    bool Started() const { return static_cast<bool>(io_); }
    // Number of uevents taken and of handler calls made; for the log and the tests.
    unsigned long EventCount() const { return events_; }
    unsigned long BurstCount() const { return bursts_; }

private:
    void OnReadable();
    void OnQuiet();
    void Arm();

    TEventLoop loop_;
    THandler handler_;
    TUdevMonitor monitor_;
    TEventSource io_;
    TEventSource timer_;
    std::uint64_t firstEvent_ = 0;
    unsigned long events_ = 0;
    unsigned long bursts_ = 0;
};
