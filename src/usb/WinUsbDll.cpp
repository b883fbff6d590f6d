// SPDX-License-Identifier: MIT
#include "WinUsbDll.h"

TWinUsbInterfaceHandle::~TWinUsbInterfaceHandle() {
    Reset();
}
TWinUsbInterfaceHandle::TWinUsbInterfaceHandle(TWinUsbInterfaceHandle&& o) noexcept
    : handle_(o.handle_) {
    o.handle_ = nullptr;
}
TWinUsbInterfaceHandle& TWinUsbInterfaceHandle::operator=(TWinUsbInterfaceHandle&& o) noexcept {
    if (this != &o) {
        Reset();
        handle_ = o.handle_;
        o.handle_ = nullptr;
    }
    return *this;
}
void TWinUsbInterfaceHandle::Reset() {
    handle_ = nullptr;
}
bool LoadWinUsbDll() {
    return false;
}
bool WinUsbDllLoaded() {
    return false;
}
void FreeWinUsbDll() {}
bool WinUsb_Initialize(int, TWinUsbInterfaceHandle&) {
    return false;
}
bool WinUsb_QueryPipe(const TWinUsbInterfaceHandle&, std::uint8_t, std::uint8_t,
                      WINUSB_PIPE_INFORMATION&) {
    return false;
}
bool WinUsb_ReadPipe(const TWinUsbInterfaceHandle&, std::uint8_t, std::uint8_t*, std::uint32_t,
                     std::uint32_t& n) {
    n = 0;
    return false;
}
bool WinUsb_WritePipe(const TWinUsbInterfaceHandle&, std::uint8_t, const std::uint8_t*,
                      std::uint32_t, std::uint32_t& n) {
    n = 0;
    return false;
}
void WinUsb_Free(TWinUsbInterfaceHandle& h) {
    h.Reset();
}
static unsigned transferTimeoutMs = 5000;
unsigned WinUsbTransferTimeoutMs() {
    return transferTimeoutMs;
}
void SetWinUsbTransferTimeoutMs(unsigned ms) {
    transferTimeoutMs = ms;
}
