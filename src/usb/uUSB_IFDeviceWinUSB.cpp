// SPDX-License-Identifier: MIT
#include "uUSB_IFDeviceWinUSB.h"

TUSB_IFDeviceWinUSB_Generic::~TUSB_IFDeviceWinUSB_Generic() {
    CloseOnDestroy();
}
bool TUSB_IFDeviceWinUSB_Generic::OpenDevice() {
    return false;
}
bool TUSB_IFDeviceWinUSB_Generic::CloseDevice() {
    return false;
}
bool TUSB_IFDeviceWinUSB_Generic::ReadBuffer(std::uint8_t*, std::uint32_t, std::uint32_t& n) {
    n = 0;
    return false;
}
bool TUSB_IFDeviceWinUSB_Generic::WriteBuffer(const std::uint8_t*, std::uint32_t,
                                              std::uint32_t& n) {
    n = 0;
    return false;
}
std::string HexDump(const std::uint8_t*, std::uint32_t) {
    return {};
}
