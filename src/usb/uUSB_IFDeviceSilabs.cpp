// SPDX-License-Identifier: MIT
#include "uUSB_IFDeviceSilabs.h"

TUSB_IFDeviceSilabs::~TUSB_IFDeviceSilabs() {
    CloseOnDestroy();
}
bool TUSB_IFDeviceSilabs::OpenDevice() {
    return false;
}
bool TUSB_IFDeviceSilabs::CloseDevice() {
    return false;
}
bool TUSB_IFDeviceSilabs::ReadBuffer(std::uint8_t*, std::uint32_t, std::uint32_t& n) {
    n = 0;
    return false;
}
bool TUSB_IFDeviceSilabs::WriteBuffer(const std::uint8_t*, std::uint32_t, std::uint32_t& n) {
    n = 0;
    return false;
}
static unsigned transferTimeoutMs = 5000;
unsigned SilabsTransferTimeoutMs() {
    return transferTimeoutMs;
}
void SetSilabsTransferTimeoutMs(unsigned ms) {
    transferTimeoutMs = ms;
}
