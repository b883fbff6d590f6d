// SPDX-License-Identifier: MIT
#pragma once

#include "ConfDebugString.h"
#include "ZEMB_TLB.h"
#include "uUSB_IF.h"
#include "uUSB_IFHost.h"

#include <fcntl.h>
#include <memory>
#include <string>
#include <vector>

// What the clients and the host did, in order, across every fake: "DeviceRemoved 0 @1" etc.
using TEventLog = std::vector<std::string>;

// A link device without hardware: opening takes a descriptor of /dev/null as its handle.
class TFakeDevice : public TUSB_IFDeviceBase {
public:
    ~TFakeDevice() override { CloseOnDestroy(); }

    int Opens = 0;
    int Closes = 0;
    bool FailOpen = false;
    bool FailClose = false;
    std::vector<std::uint8_t> Written;
    std::uint8_t ReadFill = 0x5A;

    bool GetDevInfo() override { return true; }
    bool OpenDevice() override {
        ++Opens;
        if (FailOpen)
            return false;
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
        for (std::uint32_t i = 0; i < Count; ++i)
            Buffer[i] = ReadFill;
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
    TFakeBox(std::string serial, TUSBDevType type = dtFenwy,
             TUSB_DeviceDriver driver = ddWinUSB_Silabs, std::uint16_t firmware = 0x0204,
             std::string link = {}, std::int32_t size = 1024)
        : SerialNumber(std::move(serial)), DevType(type), DriverType(driver), Firmware(firmware),
          LinkName(std::move(link)), TotalBufferSize(size) {}
    std::string SerialNumber;
    TUSBDevType DevType;
    TUSB_DeviceDriver DriverType;
    std::uint16_t Firmware;
    std::string LinkName;
    std::int32_t TotalBufferSize;
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
            device->LinkName = box.LinkName.empty()
                                   ? "usb#vid_10c4&pid_ea61#" + box.SerialNumber + "#{GUID}"
                                   : box.LinkName;
            device->FriendlyName = "Link " + box.SerialNumber;
            device->VidPid = "vid_10c4&pid_ea61";
            device->GUID_ = "{8BB2450C-43E0-4B8A-B573-AC056D538606}";
            device->DevType = box.DevType;
            device->DriverType = box.DriverType;
            device->Firmware = box.Firmware;
            device->TotalBufferSize = box.TotalBufferSize;
            grid.Cell(box.DevType, box.DriverType).Adopt(std::move(device));
        }
    }
};

// A client's per-connection callback; Fail makes it answer like a client that went away.
class TRecordingEvent : public IZEMBEvent {
public:
    TRecordingEvent(TEventLog& log, std::string name) : log_(log), name_(std::move(name)) {}
    HRESULT Fail = S_OK;
    // Runs inside each call, as other clients' calls do while the server waits for this one.
    std::function<void()> DuringCall;
    HRESULT Disconnected(std::int32_t ConnectID) override {
        log_.push_back("Disconnected " + std::to_string(ConnectID) + " @" + name_);
        if (DuringCall)
            DuringCall();
        return Fail;
    }
    HRESULT Reconnected(std::int32_t ConnectID) override {
        log_.push_back("Reconnected " + std::to_string(ConnectID) + " @" + name_);
        if (DuringCall)
            DuringCall();
        return Fail;
    }

private:
    TEventLog& log_;
    std::string name_;
};

// A client's notification sink. FailAfter: the call number (from 1) that answers E_FAIL.
class TRecordingSink : public IZEMBHost {
public:
    TRecordingSink(TEventLog& log, std::string name) : log_(log), name_(std::move(name)) {}
    int FailAt = 0;
    std::function<void()> DuringCall;

    HRESULT EnumDevice(std::int32_t DevID, bool& Result) override {
        return Record("EnumDevice", DevID, Result);
    }
    HRESULT EnumConnection(std::int32_t ConnectID, bool& Result) override {
        return Record("EnumConnection", ConnectID, Result);
    }
    HRESULT EnumApplication(std::int32_t ClientAppID, bool& Result) override {
        return Record("EnumApplication", ClientAppID, Result);
    }
    HRESULT DeviceAdded(std::int32_t DevID, bool& Result) override {
        return Record("DeviceAdded", DevID, Result);
    }
    HRESULT DeviceRemoved(std::int32_t DevID, bool& Result) override {
        return Record("DeviceRemoved", DevID, Result);
    }

private:
    HRESULT Record(const char* what, std::int32_t id, bool& Result) {
        log_.push_back(std::string(what) + " " + std::to_string(id) + " @" + name_);
        Result = true;
        if (DuringCall)
            DuringCall();
        return ++calls_ == FailAt ? E_FAIL : S_OK;
    }
    TEventLog& log_;
    std::string name_;
    int calls_ = 0;
};

// Debug lines of one group, captured while the object lives.
class TCapturedLog {
public:
    explicit TCapturedLog(std::string group) : group_(std::move(group)) {
        previous_ = SetDebugOutputSink([this](std::string_view line, std::string_view group) {
            if (group_.empty() || group == group_)
                Lines.emplace_back(line);
        });
    }
    ~TCapturedLog() { SetDebugOutputSink(std::move(previous_)); }
    std::vector<std::string> Lines;

private:
    std::string group_;
    TDebugOutputSink previous_;
};

// A fake clock in days that only moves when the code sleeps or the test advances it.
struct TFakeClock {
    double Days = 1.0;
    int Sleeps = 0;
    void AdvanceSeconds(double seconds) { Days += seconds / 86400.0; }
};
