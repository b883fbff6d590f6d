// SPDX-License-Identifier: MIT
#include "usb/LibusbDevice.h"

#include "usb/DeviceWorker.h"
#include "usb/UdevDiscovery.h"

#include <chrono>
#include <fcntl.h>
#include <thread>

namespace {
constexpr auto RetryPause = std::chrono::milliseconds(200);
}

std::string HexDump(const std::uint8_t* Buffer, std::uint32_t Count) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    if (Buffer == nullptr)
        return text;
    text.reserve(std::size_t{Count} * 3);
    for (std::uint32_t i = 0; i < Count; ++i) {
        if (i > 0)
            text += ' ';
        text += digits[Buffer[i] >> 4];
        text += digits[Buffer[i] & 0x0F];
    }
    return text;
}

TUSB_IFDeviceWinUSB_Generic::~TUSB_IFDeviceWinUSB_Generic() {
    CloseOnDestroy();
}

bool TUSB_IFDeviceWinUSB_Generic::ReadyToOpen() {
    return LoadWinUsbDll();
}

bool TUSB_IFDeviceWinUSB_Generic::OpenDevice() {
    if (!LoadWinUsbDll())
        return false;
    if (Active())
        CloseDevice();
    // LinkName names the device, not its node, which changes at every plug.
    const auto api = TUdevDiscovery::Load();
    const auto node = api ? api->DeviceNodeOf(LinkName) : std::nullopt;
    if (!node)
        return false;
    Handle = TUniqueFd(::open(node->c_str(), O_RDWR | O_CLOEXEC));
    if (!Handle.Valid())
        return false;
    if (!WinUsb_Initialize(Handle.Get(), WinUsbHandle)) {
        Handle.Close();
        return false;
    }
    PipeInfo = WINUSB_PIPE_INFORMATION{};
    PipeInfo.PipeType = UsbdPipeTypeBulk;
    return WinUsb_QueryPipe(WinUsbHandle, 0, 0, PipeInfo);
}

bool TUSB_IFDeviceWinUSB_Generic::CloseDevice() {
    if (!Handle.Valid())
        return false;
    // libusb lets go of the interface through the node, so it goes before the node is closed.
    WinUsb_Free(WinUsbHandle);
    return Handle.Close();
}

bool TUSB_IFDeviceWinUSB_Generic::ReadBuffer(std::uint8_t* Buffer, std::uint32_t Count,
                                             std::uint32_t& BytesRead) {
    TUSB_IFDeviceLocal::ReadBuffer(Buffer, Count, BytesRead);
    if (Count == 0 && WinUsbHandle.Valid()) {
        // Nothing to move, so the rule "moved equals Count" holds at once; a bulk read of
        // nothing would wait for a packet the device never sends for it.
        BytesRead = 0;
        return true;
    }
    bool ok =
        WinUsb_ReadPipe(WinUsbHandle, ReadPipeId, Buffer, Count, BytesRead) && BytesRead == Count;
    if (!ok && BytesRead == 0) {
        DeviceDebugString("TUSB_IFDeviceWinUSB_Generic.ReadBuffer. BytesToRead: " +
                              std::to_string(Count),
                          LogGroupComm);
        std::this_thread::sleep_for(RetryPause);
        ok = WinUsb_ReadPipe(WinUsbHandle, ReadPipeId, Buffer, Count, BytesRead) &&
             BytesRead == Count;
    }
    if (!ok)
        DeviceDebugString("TUSB_IFDeviceWinUSB_Generic.ReadBuffer. Failed: " +
                              std::to_string(Count),
                          LogGroupComm);
    return ok;
}

bool TUSB_IFDeviceWinUSB_Generic::WriteBuffer(const std::uint8_t* Buffer, std::uint32_t Count,
                                              std::uint32_t& BytesWritten) {
    TUSB_IFDeviceLocal::WriteBuffer(Buffer, Count, BytesWritten);
    bool ok = WinUsb_WritePipe(WinUsbHandle, WritePipeId, Buffer, Count, BytesWritten) &&
              BytesWritten == Count;
    if (!ok && BytesWritten == 0) {
        std::this_thread::sleep_for(RetryPause);
        ok = WinUsb_WritePipe(WinUsbHandle, WritePipeId, Buffer, Count, BytesWritten) &&
             BytesWritten == Count;
    }
    if (!ok)
        DeviceDebugString("TUSB_IFDeviceWinUSB_Generic.WriteBuffer. Fail: " +
                              HexDump(Buffer, Count),
                          LogGroupComm);
    return ok;
}

std::uint32_t TUSB_IFDeviceWinUSB_Generic::DrainRead(std::uint8_t* Buffer, std::uint32_t Count) {
    return WinUsb_DrainPipe(WinUsbHandle, ReadPipeId, Buffer, Count, DrainReadTimeoutMs);
}
