// SPDX-License-Identifier: MIT
#include "host/DeviceChangeWindow.h"

#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

TFrmMessageCatch::TFrmMessageCatch()
    : OnDeviceChange([this](void* sender) { DoDeviceChange(sender); }),
      changeEvent_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

TFrmMessageCatch::~TFrmMessageCatch() {
    if (changeEvent_ >= 0)
        close(changeEvent_);
}

void TFrmMessageCatch::WMDeviceChange() {
    if (LockCount > 0) {
        Pending = true;
        return;
    }
    if (!OnDeviceChange)
        return;
    Pending = false;
    Lock();
    struct TUnlockGuard {
        TFrmMessageCatch& window;
        ~TUnlockGuard() { window.Unlock(); }
    } guard{*this};
    OnDeviceChange(nullptr);
}

void TFrmMessageCatch::Lock() {
    ++LockCount;
}

void TFrmMessageCatch::Unlock() {
    if (LockCount > 0)
        --LockCount;
    if (LockCount == 0 && Pending) {
        WMDeviceChange();
        Pending = false;
    }
}

void TFrmMessageCatch::DoDeviceChange(void*) {
    if (!OnDevicesChanged)
        return;
    bool changed = false;
    OnDevicesChanged(changed);
    // The counter stays raised until a reader takes it, so a poller on another thread
    // learns of the change; nothing in the server reads it.
    if (changed && changeEvent_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = write(changeEvent_, &one, sizeof one);
    }
}
