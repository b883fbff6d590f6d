// SPDX-License-Identifier: MIT
#include "host/DeviceMonitor.h"

#include "base/DebugLog.h"

#include <algorithm>
#include <exception>
#include <sys/epoll.h>

TDeviceChangeMonitor::TDeviceChangeMonitor(sd_event* Loop, THandler Handler)
    : loop_(Loop), handler_(std::move(Handler)) {
    if (!loop_.Valid() || !monitor_.Valid())
        return;
    TEventSource io = loop_.AddIo(monitor_.Fd(), EPOLLIN, [this](std::uint32_t) { OnReadable(); });
    if (!io)
        return;
    timer_ = loop_.AddTimer([this] { OnQuiet(); });
    if (!timer_)
        return;
    io_ = std::move(io);
}

TDeviceChangeMonitor::~TDeviceChangeMonitor() = default;

void TDeviceChangeMonitor::OnReadable() {
    TUdevMonitor::TUevent event;
    bool any = false;
    while (monitor_.Receive(event)) {
        ++events_;
        ConfDebugString("WMDeviceChange: " + event.Action + " " + event.SysPath,
                        "TFrmMessageCatch");
        // Driver binding and attribute changes follow a plug; only arrival and removal count.
        if (event.Action == "add" || event.Action == "remove")
            any = true;
    }
    if (any)
        Arm();
}

void TDeviceChangeMonitor::Arm() {
    const std::uint64_t now = loop_.Now();
    if (!timer_.IsEnabled())
        firstEvent_ = now;
    const auto quiet = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(QuietTime).count());
    const auto latest =
        firstEvent_ + static_cast<std::uint64_t>(
                          std::chrono::duration_cast<std::chrono::microseconds>(MaxDelay).count());
    timer_.SetTime(std::min(now + quiet, latest));
    timer_.SetEnabled(TEventSource::TEnabled::OneShot);
}

void TDeviceChangeMonitor::OnQuiet() {
    ++bursts_;
    // An error must not unwind through the loop's C frames: it ends this device change only.
    try {
        if (handler_)
            handler_();
    } catch (const std::exception& error) {
        ConfDebugString(std::string("TDeviceChangeMonitor: ") + error.what(), "RUVAzerComm");
    } catch (...) {
        ConfDebugString("TDeviceChangeMonitor: unknown error", "RUVAzerComm");
    }
}
