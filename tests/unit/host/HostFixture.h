// SPDX-License-Identifier: MIT
#pragma once

#include "Captures.h"
#include "RecordingSinks.h"
#include "base/Settings.h"
#include "host/DeviceChangeWindow.h"
#include "host/HostOperations.h"
#include "usb/DeviceGrid.h"
#include "usb/LinkDevice.h"

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <functional>
#include <gmock/gmock.h>
#include <memory>
#include <optional>
#include <string>
#include <systemd/sd-event.h>
#include <utility>
#include <vector>

// A link device without hardware: opening takes a descriptor of /dev/null as its handle.
class TFakeDevice : public TUSB_IFDeviceBase {
public:
    ~TFakeDevice() override { CloseOnDestroy(); }

    int Opens = 0, Closes = 0;
    bool FailClose = false, FailRead = false;
    std::vector<std::uint8_t> Written;
    // Runs inside each open, on the thread that opens.
    std::function<void()> WhileOpening;

    bool GetDevInfo() override { return true; }
    bool OpenDevice() override {
        ++Opens;
        if (WhileOpening)
            WhileOpening();
        Handle = TUniqueFd(open("/dev/null", O_RDONLY | O_CLOEXEC));
        return Active();
    }
    bool CloseDevice() override {
        ++Closes;
        return Active() && !FailClose && Handle.Close();
    }
    bool StartSession() override { return false; }
    bool EndSession() override { return false; }
    bool ReadBuffer(std::uint8_t* Buffer, std::uint32_t Count, std::uint32_t& BytesRead) override {
        BytesRead = FailRead ? 0 : Count;
        std::fill_n(Buffer, BytesRead, 0x5A);
        return !FailRead;
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
            device->DevType = box.DevType;
            device->DriverType = box.DriverType;
            device->Firmware = box.Firmware;
            device->TotalBufferSize = box.TotalBufferSize;
            grid.Cell(box.DevType, box.DriverType).Adopt(std::move(device));
        }
    }
};

using ::testing::ElementsAre;

// A device-change window, a container over the fake bus (with the fake clock and a fixed process
// list) and a host on it, made with the first scan on first use, after the test set up Bus.
class THostTest : public ::testing::Test {
protected:
    THostTest() { ZEMBSettings() = {}; }
    ~THostTest() override {
        if (loop_) {
            Container().Workers.Attach(nullptr);
            sd_event_unref(loop_);
        }
        ZEMBSettings() = {};
    }

    TUSB_IFHostLocal& Host() {
        if (!host_) {
            container_.emplace(
                Window, TUSB_IFHostSeams{
                            [this](TUSB_IFDeviceGrid& grid) { Bus.Fill(grid); },
                            [this] { return TProcessList(Processes); }, [this] { return Days; },
                            [this](std::chrono::milliseconds time) {
                                ++Sleeps;
                                AdvanceSeconds(static_cast<double>(time.count()) / 1000);
                            }});
            host_.emplace(*container_);
        }
        return *host_;
    }
    TUSB_IFHostContainer& Container() {
        Host();
        return *container_;
    }
    std::int32_t Hookup(TUSBClientAppType type, const std::string& exe, std::int32_t pid = 100) {
        std::int32_t id = -1;
        Host().HookupClientApp(type, pid, "PC1", exe, id);
        return id;
    }
    std::shared_ptr<TRecordingSink> Sink(std::int32_t clientAppID, const std::string& name) {
        auto sink = std::make_shared<TRecordingSink>(Log, name);
        Host().SetZEMBHost(clientAppID, sink);
        return sink;
    }
    // What the sinks and events heard since the last look.
    TEventLog Heard() { return std::exchange(Log, {}); }
    std::shared_ptr<TRecordingEvent> Event(const std::string& name) {
        return std::make_shared<TRecordingEvent>(Log, name);
    }
    std::int32_t Connect(std::int32_t client, std::int32_t devID, TUSBDevMode mode,
                         std::shared_ptr<ZEMB::IZEMBEvent> callback = nullptr) {
        std::int32_t connectID = -1;
        bool reconnected = false;
        Host().ConnectDevice(client, devID, mode, std::move(callback), connectID, reconnected);
        return connectID;
    }
    TFakeDevice* Device(std::int32_t devID) {
        return dynamic_cast<TFakeDevice*>(Container().FindDevice(devID));
    }
    // From now on the device jobs run on workers and come back through a loop of the test's own,
    // as in the server; RunUntil turns it.
    void AttachWorkers() {
        ASSERT_GE(sd_event_new(&loop_), 0);
        Container().Workers.Attach(loop_);
    }
    // Turns the loop (when attached) until done holds; false when it did not within 30 s.
    bool RunUntil(const std::function<bool()>& done) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!done()) {
            if (!loop_ || std::chrono::steady_clock::now() > until ||
                sd_event_run(loop_, 20000) < 0)
                return false;
        }
        return true;
    }
    // An open, close or disconnect as a client's call asks it: queued on the device, the
    // handle's open or close a job for the device's worker; whether it was done.
    bool Queued(void (TUSB_IFHostLocal::*later)(std::int32_t, TDeviceDone), std::int32_t id) {
        std::optional<bool> ok;
        (Host().*later)(id, [&ok](TDeviceResult& r) { ok = r.Ok && !r.Error; });
        return RunUntil([&ok] { return ok.has_value(); }) && *ok;
    }
    // What a udev burst does: one device-change message to the window.
    void DeviceChange() {
        Host();
        Window.WMDeviceChange();
    }
    void Unplug(const std::string& serial) {
        std::erase_if(Bus.Attached,
                      [&](const TFakeBox& box) { return box.SerialNumber == serial; });
        DeviceChange();
    }
    // "type computer exe" of a registered client; empty when the host knows none.
    std::string AppInfo(std::int32_t clientAppID) {
        TUSBClientAppType type{};
        std::string computer, exe;
        return Host().ClientAppInfo(clientAppID, type, computer, exe)
                   ? std::to_string(type) + " " + computer + " " + exe
                   : "";
    }

    TFakeBus Bus;
    // A fake clock in days that only moves when the code sleeps or the test advances it.
    double Days = 1.0;
    int Sleeps = 0;
    void AdvanceSeconds(double seconds) { Days += seconds / 86400.0; }
    std::vector<TProcessItem> Processes;
    TEventLog Log;
    TFrmMessageCatch Window;

private:
    std::optional<TUSB_IFHostContainer> container_;
    std::optional<TUSB_IFHostLocal> host_;
    sd_event* loop_ = nullptr;
};

// Devices serial "000000001" and on, and two clients: A (aciVantor) and B (aciDostra), each
// with a recording sink when Sinks.
template <int Devices, bool Sinks> class TTwoClientsTest : public THostTest {
protected:
    void SetUp() override {
        for (int n = 1; n <= Devices; ++n)
            Bus.Attached.push_back({"00000000" + std::to_string(n)});
        A = Hookup(aciVantor, "/opt/a");
        B = Hookup(aciDostra, "/opt/b");
        SinkA = Sinks ? Sink(A, "A") : nullptr;
        SinkB = Sinks ? Sink(B, "B") : nullptr;
    }
    std::int32_t A = -1, B = -1;
    std::shared_ptr<TRecordingSink> SinkA, SinkB;
};
