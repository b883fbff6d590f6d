// SPDX-License-Identifier: MIT
#pragma once

#include "usb/LibusbTransport.h"
#include "usb/LinkDevice.h"

// Link devices behind the WinUSB stand-in: LinkName is resolved through udev to the device's
// current node, which is opened and handed to libusb. Reads from endpoint 0x81, writes to
// 0x02, both synchronous; a transfer that moved nothing is tried once more after 200 ms.
// A transfer succeeds when it moved Count bytes, so a read of 0 bytes on an open device
// succeeds at once without asking the device.
class TUSB_IFDeviceWinUSB_Generic : public TUSB_IFDeviceLocal {
public:
    static constexpr std::uint8_t ReadPipeId = 0x81;
    static constexpr std::uint8_t WritePipeId = 0x02;

    ~TUSB_IFDeviceWinUSB_Generic() override;

    TWinUsbInterfaceHandle WinUsbHandle;
    WINUSB_PIPE_INFORMATION PipeInfo;

    bool ReadyToOpen() override;
    bool OpenDevice() override;
    bool CloseDevice() override;
    bool ReadBuffer(std::uint8_t* Buffer, std::uint32_t Count, std::uint32_t& BytesRead) override;
    bool WriteBuffer(const std::uint8_t* Buffer, std::uint32_t Count,
                     std::uint32_t& BytesWritten) override;

protected:
    TUSB_IFDeviceWinUSB_Generic() = default;
    std::uint32_t DrainRead(std::uint8_t* Buffer, std::uint32_t Count) override;
};

class TUSB_IFDeviceWinUSB_Silabs : public TUSB_IFDeviceWinUSB_Generic {
public:
    TUSB_IFDeviceWinUSB_Silabs() { DriverType = ddWinUSB_Silabs; }
};

class TUSB_IFDeviceWinUSB_ST : public TUSB_IFDeviceWinUSB_Generic {
public:
    TUSB_IFDeviceWinUSB_ST() { DriverType = ddWinUSB_ST; }
};

// The hex dump of a failed write: "1C 00 FF".
std::string HexDump(const std::uint8_t* Buffer, std::uint32_t Count);
