// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <functional>

// The device-change window: receives device-change messages and holds them back while
// communication sessions run (each running session holds one lock). There is no window on
// Linux; the udev monitor calls WMDeviceChange instead of the window procedure.
class TFrmMessageCatch {
public:
    using TDeviceChangeEvent = std::function<void(void*)>;
    using TDevicesChangedEvent = std::function<void(bool& Changed)>;

    TFrmMessageCatch();
    ~TFrmMessageCatch();
    TFrmMessageCatch(const TFrmMessageCatch&) = delete;
    TFrmMessageCatch& operator=(const TFrmMessageCatch&) = delete;

    bool Pending = false;
    std::int32_t LockCount = 0;
    TDeviceChangeEvent OnDeviceChange;
    TDevicesChangedEvent OnDevicesChanged;

    // An eventfd, signalled (counter raised) each time a device change reported Changed; a
    // reader on another thread may poll it. Nothing in the server waits on it.
    int ChangeEvent() const { return changeEvent_; }

    // Handles one device change now, or marks it pending while locked. An error raised by the
    // handler travels on after the window was unlocked again.
    void WMDeviceChange();
    void Lock();
    // The last Unlock runs a pending device change once.
    void Unlock();
    void DoDeviceChange(void* Sender);

private:
    int changeEvent_ = -1;
};
