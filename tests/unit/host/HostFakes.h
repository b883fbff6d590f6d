// SPDX-License-Identifier: MIT
#pragma once

#include "Captures.h"
#include "RecordingSinks.h"
#include "host/HostOperations.h"
#include "usb/DeviceGrid.h"
#include "usb/LinkDevice.h"

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <memory>
#include <string>
#include <vector>

// A link device without hardware: opening takes a descriptor of /dev/null as its handle.
class TFakeDevice : public TUSB_IFDeviceBase {
public:
    ~TFakeDevice() override { CloseOnDestroy(); }

    int Opens = 0, Closes = 0;
    bool FailClose = false, FailRead = false;
    std::vector<std::uint8_t> Written;

    bool GetDevInfo() override { return true; }
    bool OpenDevice() override {
        ++Opens;
        Handle = TUniqueFd(open("/dev/null", O_RDONLY | O_CLOEXEC));
        return Active();
    }
    bool CloseDevice() override {
        ++Closes;
        if (!Active() || FailClose)
            return false;
        return Handle.Close();
    }
    bool StartSession() override { return false; }
    bool EndSession() override { return false; }
    bool ReadBuffer(std::uint8_t* Buffer, std::uint32_t Count, std::uint32_t& BytesRead) override {
        BytesRead = 0;
        if (FailRead)
            return false;
        std::fill_n(Buffer, Count, 0x5A);
        BytesRead = Count;
        return true;
    }
    bool WriteBuffer(const std::uint8_t* Buffer, std::uint32_t Count,
                     std::uint32_t& BytesWritten) override {
        Written.assign(Buffer, Buffer + Count);
        BytesWritten = Count;
        return true;
    }
};

// The identity of an attached device, as the scan would find it.
struct TFakeBox {
    std::string SerialNumber;
    TUSBDevType DevType = dtFenwy;
    TUSB_DeviceDriver DriverType = ddWinUSB_Silabs;
    std::uint16_t Firmware = 0x0204;
    std::int32_t TotalBufferSize = 1024;
};

// The attached devices: each scan makes fresh device objects from it.
struct TFakeBus {
    std::vector<TFakeBox> Attached;
    int Scans = 0;

    void Fill(TUSB_IFDeviceGrid& grid) {
        ++Scans;
        for (const TFakeBox& box : Attached) {
            auto device = std::make_unique<TFakeDevice>();
            device->SerialNumber = box.SerialNumber;
            device->LinkName = "usb#vid_10c4&pid_ea61#" + box.SerialNumber + "#{GUID}";
            device->FriendlyName = "Link " + box.SerialNumber;
            device->DevType = box.DevType;
            device->DriverType = box.DriverType;
            device->Firmware = box.Firmware;
            device->TotalBufferSize = box.TotalBufferSize;
            grid.Cell(box.DevType, box.DriverType).Adopt(std::move(device));
        }
    }
};

// A fake clock in days that only moves when the code sleeps or the test advances it.
struct TFakeClock {
    double Days = 1.0;
    int Sleeps = 0;
    void AdvanceSeconds(double seconds) { Days += seconds / 86400.0; }
    void Sleep(std::chrono::milliseconds time) {
        ++Sleeps;
        AdvanceSeconds(static_cast<double>(time.count()) / 1000.0);
    }
};
