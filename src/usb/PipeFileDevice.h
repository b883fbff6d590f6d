// SPDX-License-Identifier: MIT
#pragma once

#include "usb/LinkDevice.h"

// Link devices behind the Silicon Labs pipe-file driver: LinkName is the driver's device
// folder; "PIPE01" in it is written, "PIPE00" is read. Plain POSIX calls, no retry, no log.
// A transfer waits at most SilabsTransferTimeoutMs() for the other side, so a missing or
// silent driver never blocks the thread for good.
class TUSB_IFDeviceSilabs : public TUSB_IFDeviceLocal {
public:
    static constexpr std::uint32_t MaxTransfer = 0xFFFD;

    TUSB_IFDeviceSilabs() { DriverType = ddSilabs; }
    ~TUSB_IFDeviceSilabs() override;

    TUniqueFd WritePipeHandle;
    TUniqueFd ReadPipeHandle;

    bool OpenDevice() override;
    bool CloseDevice() override;
    bool ReadBuffer(std::uint8_t* Buffer, std::uint32_t Count, std::uint32_t& BytesRead) override;
    bool WriteBuffer(const std::uint8_t* Buffer, std::uint32_t Count,
                     std::uint32_t& BytesWritten) override;

protected:
    std::uint32_t DrainRead(std::uint8_t* Buffer, std::uint32_t Count) override;
};

// How long a pipe transfer waits for the driver (default 5000 ms); tests shorten it.
unsigned SilabsTransferTimeoutMs();
void SetSilabsTransferTimeoutMs(unsigned ms);
