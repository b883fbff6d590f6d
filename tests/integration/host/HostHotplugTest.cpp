// SPDX-License-Identifier: MIT
// Devices plugged in and pulled out of the simulator's testbed in this process reach the host
// through the real udev monitor, discovery, identification and transports (run with the
// umockdev preload). The control socket of zemb-sim drives the same host inside the real server
// in tests/integration/server.
#include "RecordingSinks.h"
#include "SimTestbed.h"
#include "base/DebugLog.h"
#include "host/DeviceChangeWindow.h"
#include "host/DeviceMonitor.h"
#include "host/HostOperations.h"

#include <chrono>
#include <gtest/gtest.h>
#include <systemd/sd-event.h>

using namespace ZEMB;

namespace {

TSimDeviceConfig Fenwy(std::string name = "fenwy", std::uint16_t firmware = 0x0204) {
    TSimDeviceConfig c;
    c.Name = std::move(name);
    c.Driver = TSimDriver::WinUSB_ST;
    c.VendorId = 0x0483;
    c.ProductId = 0xa7f1;
    c.Instance = "FWY000042007";
    c.FriendlyName = "Fenwy ST";
    c.Firmware = firmware;
    c.SerialNumber = 123456;
    return c;
}

TSimDeviceConfig Mirel(std::string name, TSimDriver driver, std::string instance) {
    TSimDeviceConfig c;
    c.Name = std::move(name);
    c.Driver = driver;
    c.VendorId = 0x10c4;
    c.ProductId = 0x8a5e;
    c.Instance = std::move(instance);
    c.Firmware = 0x0201;
    c.RamSize = 0x0800;
    return c;
}

struct TLoopUnref {
    void operator()(sd_event* loop) const { sd_event_unref(loop); }
};

class HostHotplugTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(TSimTestbed::PreloadActive()) << "run under umockdev-wrapper";
        previousSink_ = SetDebugOutputSink([this](std::string_view line, std::string_view group) {
            if (group == "TUSB_ConnectedDevices")
                Lines.emplace_back(line);
            else
                Other.emplace_back(std::string(group) + ": " + std::string(line));
        });
        sd_event* loop = nullptr;
        ASSERT_GE(sd_event_new(&loop), 0);
        Loop.reset(loop);
        FreeUSB_IFHost();
        Bed = std::make_unique<TSimTestbed>();
        ASSERT_TRUE(Bed->AddDevice(Mirel("mirel-pipe", TSimDriver::Silabs, "ABCDEFGHI008xyz")));
        ASSERT_TRUE(Bed->AddDevice(Fenwy()));
        ASSERT_TRUE(Bed->AddDevice(Mirel("mirel-usb", TSimDriver::WinUSB_Silabs, "MRL015001008")));
    }
    void TearDown() override {
        FreeUSB_IFHost();
        Bed.reset();
        Loop.reset();
        SetDebugOutputSink(std::move(previousSink_));
    }

    // Starts the host on the loop with two clients, each with a sink.
    void StartHost() {
        Host = CreateHost();
        ASSERT_TRUE(StartDeviceChangeMonitor(Loop.get()));
        ASSERT_TRUE(Host->HookupClientApp(aciVantor, 1001, "pc", "/opt/a", A));
        ASSERT_TRUE(Host->HookupClientApp(aciDostra, 1002, "pc", "/opt/b", B));
        ASSERT_TRUE(Host->SetZEMBHost(A, std::make_shared<TRecordingSink>(Log, "A")));
        ASSERT_TRUE(Host->SetZEMBHost(B, std::make_shared<TRecordingSink>(Log, "B")));
    }
    std::int32_t DevIDOf(const std::string& linkName) {
        std::int32_t found = -1;
        USB_IFHostContainer()->Devices.ForEach([&](TUSB_IFDeviceBase& device) {
            if (device.LinkName == linkName)
                found = device.DevID;
        });
        return found;
    }
    // Runs the loop until the condition holds; false when it does not within the bound.
    template <typename Condition> bool RunUntil(Condition&& condition) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            sd_event_run(Loop.get(), 50'000);
        }
        return true;
    }
    bool Seen(const std::string& line) {
        return RunUntil([&] { return std::find(Log.begin(), Log.end(), line) != Log.end(); });
    }
    unsigned long Bursts() { return DeviceChangeMonitor()->BurstCount(); }

    std::unique_ptr<sd_event, TLoopUnref> Loop;
    std::unique_ptr<TSimTestbed> Bed;
    std::unique_ptr<TUSB_IFHostLocal> Host;
    std::int32_t A = -1, B = -1;
    TEventLog Log;
    std::vector<std::string> Lines;
    std::vector<std::string> Other; // every other line, shown when a test fails

private:
    TDebugOutputSink previousSink_;
};

TEST_F(HostHotplugTest, UnplugAndReplugKeepTheDevID) {
    StartHost();
    // The first scan: one "Inserted" line per device, the ddWinUSB_Silabs column before
    // ddWinUSB_ST, no client called.
    EXPECT_EQ(Lines,
              (std::vector<std::string>{"Device (DevID: 0) Inserted", "Device (DevID: 1) Inserted",
                                        "Device (DevID: 2) Inserted"}));
    EXPECT_LT(DevIDOf(Bed->LinkName("mirel-usb")), DevIDOf(Bed->LinkName("fenwy")));
    EXPECT_TRUE(Log.empty());
    const std::int32_t devID = DevIDOf(Bed->LinkName("fenwy"));
    std::int32_t a = -1, b = -1;
    bool reconnected = false;
    ASSERT_TRUE(Host->ConnectDevice(A, devID, cmShared, std::make_shared<TRecordingEvent>(Log, "a"),
                                    a, reconnected));
    ASSERT_TRUE(Host->ConnectDevice(B, devID, cmShared, std::make_shared<TRecordingEvent>(Log, "b"),
                                    b, reconnected));
    ASSERT_TRUE(Host->OpenDevice(a)) << ::testing::PrintToString(Other);
    Lines.clear();

    ASSERT_TRUE(Bed->Unplug("fenwy"));
    const std::string d = std::to_string(devID);
    ASSERT_TRUE(Seen("Disconnected " + std::to_string(b) + " @b")) << ::testing::PrintToString(Log);
    EXPECT_EQ(Log, (TEventLog{"DeviceRemoved " + d + " @A", "DeviceRemoved " + d + " @B",
                              "Disconnected " + std::to_string(a) + " @a",
                              "Disconnected " + std::to_string(b) + " @b"}));
    EXPECT_EQ(Bursts(), 1u); // one unplug, one rescan
    EXPECT_EQ(DevIDOf(Bed->LinkName("fenwy")), -1);

    Log.clear();
    ASSERT_TRUE(Bed->Plug("fenwy"));
    ASSERT_TRUE(Seen("DeviceAdded " + d + " @B")) << ::testing::PrintToString(Log);
    EXPECT_EQ(Log, (TEventLog{"Reconnected " + std::to_string(a) + " @a",
                              "Reconnected " + std::to_string(b) + " @b",
                              "DeviceAdded " + d + " @A", "DeviceAdded " + d + " @B"}));
    EXPECT_EQ(Bursts(), 2u);
    EXPECT_EQ(DevIDOf(Bed->LinkName("fenwy")), devID);
    EXPECT_EQ(Lines, (std::vector<std::string>{"Device (DevID: " + d + ") removed",
                                               "Device (DevID: " + d + ") re-inserted"}));

    // Connections stay disconnected until their client connects again: same ConnectID back,
    // and the device works.
    EXPECT_EQ(USB_IFHostContainer()->ConnectedDevices.FindConnection(a)->State,
              TUSB_Connection::csDisconnected);
    std::int32_t again = -1;
    ASSERT_TRUE(Host->ConnectDevice(A, devID, cmShared, nullptr, again, reconnected));
    EXPECT_EQ(again, a);
    ASSERT_TRUE(Host->OpenDevice(a)) << ::testing::PrintToString(Other);
    std::int32_t count = 0;
    ASSERT_TRUE(Host->WriteBuffer(a, TSafeByteArray(std::vector<std::uint8_t>{0x11, 0x22}), count));
    TSafeByteArray reply(2, 1);
    ASSERT_TRUE(Host->ReadBuffer(a, reply, count));
    EXPECT_EQ(std::vector<std::uint8_t>(reply.Data().begin(), reply.Data().end()),
              (std::vector<std::uint8_t>{0x11, 0x22}));
}

TEST_F(HostHotplugTest, TheSameBoxWithNewFirmwareIsANewDevice) {
    TSimDeviceConfig update = Fenwy("fenwy-update", 0x0205);
    update.Plugged = false;
    ASSERT_TRUE(Bed->AddDevice(update));
    StartHost();
    const std::int32_t devID = DevIDOf(Bed->LinkName("fenwy"));
    std::int32_t a = -1;
    bool reconnected = false;
    ASSERT_TRUE(Host->ConnectDevice(A, devID, cmShared, std::make_shared<TRecordingEvent>(Log, "a"),
                                    a, reconnected));
    ASSERT_TRUE(Bed->Unplug("fenwy"));
    ASSERT_TRUE(Seen("Disconnected " + std::to_string(a) + " @a"));
    Log.clear();
    ASSERT_TRUE(Bed->Plug("fenwy-update"));
    ASSERT_TRUE(Seen("DeviceAdded 3 @B")) << ::testing::PrintToString(Log);
    // No Reconnected: the connection stays with the old record of the box.
    EXPECT_EQ(Log, (TEventLog{"DeviceAdded 3 @A", "DeviceAdded 3 @B"}));
    EXPECT_EQ(DevIDOf(Bed->LinkName("fenwy-update")), 3);
}

TEST_F(HostHotplugTest, ChangeDuringASessionWaitsForEndSession) {
    StartHost();
    const std::int32_t fenwy = DevIDOf(Bed->LinkName("fenwy"));
    std::int32_t session = -1, f = -1;
    bool reconnected = false;
    ASSERT_TRUE(Host->ConnectDevice(A, DevIDOf(Bed->LinkName("mirel-usb")), cmShared, nullptr,
                                    session, reconnected));
    ASSERT_TRUE(Host->ConnectDevice(A, fenwy, cmShared, std::make_shared<TRecordingEvent>(Log, "a"),
                                    f, reconnected));
    ASSERT_TRUE(Host->StartSession(session));
    ASSERT_TRUE(Bed->Unplug("fenwy"));
    ASSERT_TRUE(RunUntil([] { return FrmMessageCatch()->Pending; }));
    EXPECT_TRUE(Log.empty()) << ::testing::PrintToString(Log);
    ASSERT_TRUE(Host->EndSession(session));
    const std::string d = std::to_string(fenwy);
    EXPECT_EQ(Log, (TEventLog{"DeviceRemoved " + d + " @A", "DeviceRemoved " + d + " @B",
                              "Disconnected " + std::to_string(f) + " @a"}));
}

TEST_F(HostHotplugTest, DevicesPluggedTogetherMakeOneRescan) {
    TSimDeviceConfig first = Fenwy("fenwy-2");
    first.Instance = "FWY000043007";
    first.Plugged = false;
    TSimDeviceConfig second = Mirel("mirel-2", TSimDriver::WinUSB_ST, "MRL015002008");
    second.Plugged = false;
    ASSERT_TRUE(Bed->AddDevice(first));
    ASSERT_TRUE(Bed->AddDevice(second));
    StartHost();
    ASSERT_TRUE(Bed->Plug("fenwy-2"));
    ASSERT_TRUE(Bed->Plug("mirel-2"));
    ASSERT_TRUE(Seen("DeviceAdded 4 @B")) << ::testing::PrintToString(Log);
    EXPECT_EQ(Bursts(), 1u);
    EXPECT_GE(DeviceChangeMonitor()->EventCount(), 2u);
    // Cell order: the dtMirel row before the dtFenwy row of the same column.
    EXPECT_EQ(DevIDOf(Bed->LinkName("mirel-2")), 3);
    EXPECT_EQ(DevIDOf(Bed->LinkName("fenwy-2")), 4);
}

} // namespace

#include <umockdev.h>

namespace {

// The monitor alone on a bare testbed: what other devices do makes no rescan.
TEST(DeviceChangeMonitorTest, OnlyUsbDevicesArrivingOrLeavingCount) {
    ASSERT_TRUE(TSimTestbed::PreloadActive()) << "run under umockdev-wrapper";
    struct TTestbedUnref {
        void operator()(UMockdevTestbed* testbed) const { g_object_unref(testbed); }
    };
    std::unique_ptr<UMockdevTestbed, TTestbedUnref> bed(umockdev_testbed_new());
    sd_event* rawLoop = nullptr;
    ASSERT_GE(sd_event_new(&rawLoop), 0);
    std::unique_ptr<sd_event, TLoopUnref> loop(rawLoop);
    int changes = 0;
    TDeviceChangeMonitor monitor(loop.get(), [&] { ++changes; });
    ASSERT_TRUE(monitor.Started());

    gchar* battery =
        umockdev_testbed_add_device(bed.get(), "power_supply", "BAT0", nullptr, "status",
                                    "Discharging", nullptr, "POWER_SUPPLY_ONLINE", "0", nullptr);
    umockdev_testbed_uevent(bed.get(), battery, "change");
    gchar* box = umockdev_testbed_add_device(bed.get(), "usb", "1-9", nullptr, "idVendor", "10c4",
                                             nullptr, "DEVTYPE", "usb_device", nullptr);
    gchar* port = umockdev_testbed_add_device(bed.get(), "usb", "1-9:1.0", box, "bInterfaceClass",
                                              "ff", nullptr, "DEVTYPE", "usb_interface", nullptr);
    umockdev_testbed_uevent(bed.get(), box, "bind");

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (changes == 0 && std::chrono::steady_clock::now() < deadline)
        sd_event_run(loop.get(), 50'000);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(monitor.EventCount(), 2u); // the box's "add" and "bind"; nothing else
    g_free(battery);
    g_free(box);
    g_free(port);
}

} // namespace
