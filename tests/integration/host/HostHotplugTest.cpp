// SPDX-License-Identifier: MIT
// The wiring of the host to the system: devices plugged in and pulled out of the simulator's
// testbed reach the host through the real udev monitor, discovery, identification and
// transports (run with the umockdev preload). The rules the host applies to them are tested
// over fakes in tests/unit/host.
#include "Captures.h"
#include "RecordingSinks.h"
#include "SimTestbed.h"
#include "TestProcess.h"
#include "base/EventLoop.h"
#include "host/DeviceChangeWindow.h"
#include "host/DeviceMonitor.h"
#include "host/HostOperations.h"

#include <gtest/gtest.h>
#include <optional>
#include <umockdev.h>

using namespace ZEMB;

namespace {

// Three Mirels, one on pipe files and one plugged later, and a Fenwy.
const std::string Mirel = "\nVendorId=10c4\nProductId=8a5e\nFirmware=2.01\nRamSize=0x0800\n";
const std::string Devices =
    "[mirel-pipe]\nDriver=silabs\nInstance=ABCDEFGHI008xyz" + Mirel +
    "[fenwy]\nDriver=winusb_st\nVendorId=0483\nProductId=a7f1\nInstance=FWY000042007\n"
    "FriendlyName=Fenwy ST\nSerialNumber=123456\n[mirel-usb]\nDriver=winusb_silabs\n"
    "Instance=MRL015001008" +
    Mirel + "[mirel-2]\nDriver=winusb_st\nPlugged=0\nInstance=MRL015002008" + Mirel;

// Steps the loop until the condition holds; false when it does not within the bound.
bool RunUntil(TEventLoop& loop, const std::function<bool()>& condition) {
    return WaitUntil([&] { return loop.RunOnce() >= 0 && condition(); }, 10s);
}

TEST(HostHotplugTest, UdevChangesRescanTheHostAndReplugKeepsTheDevice) {
    ASSERT_TRUE(TSimTestbed::PreloadActive()) << "run under umockdev-wrapper";
    TCapturedLog debug(std::nullopt, true); // shown when a test fails
    auto loop = TEventLoop::Default();
    TSimTestbed bed;
    std::string error;
    const auto devices = ParseSimDeviceFile(Devices, error);
    ASSERT_TRUE(devices) << error;
    for (const auto& device : *devices)
        ASSERT_TRUE(bed.AddDevice(device)) << device.Name;
    TEventLog log; // before the container: its sinks write here
    TFrmMessageCatch window;
    TUSB_IFHostContainer container(window);
    TUSB_IFHostLocal host(container);
    TDeviceChangeMonitor monitor(loop.Get(), [&] { window.WMDeviceChange(); });
    ASSERT_TRUE(monitor.Started());
    const auto devID = [&](const std::string& name) {
        std::int32_t found = -1;
        container.Devices.ForEach([&](TUSB_IFDeviceBase& device) {
            if (device.LinkName == bed.LinkName(name))
                found = device.DevID;
        });
        return found;
    };
    // The first scan identifies every device into its cell: ddSilabs, ddWinUSB_Silabs, then
    // ddWinUSB_ST.
    const std::int32_t fenwy = devID("fenwy");
    EXPECT_EQ(std::tuple(devID("mirel-pipe"), devID("mirel-usb"), fenwy), std::tuple(0, 1, 2));
    std::int32_t a = -1, id = -1;
    bool reconnected = false;
    ASSERT_TRUE(host.HookupClientApp(aciVantor, 1001, "pc", "/opt/a", a));
    ASSERT_TRUE(host.SetZEMBHost(a, std::make_shared<TRecordingSink>(log, "A")));
    ASSERT_TRUE(host.ConnectDevice(a, fenwy, cmShared, std::make_shared<TRecordingEvent>(log, "a"),
                                   id, reconnected));
    ASSERT_TRUE(host.OpenDevice(id)) << ::testing::PrintToString(debug.Lines);
    debug.Lines.clear();

    // One unplug, one burst, one rescan.
    ASSERT_TRUE(bed.Unplug("fenwy"));
    const TEventLog gone{"DeviceRemoved 2 @A", "Disconnected " + std::to_string(id) + " @a"};
    EXPECT_TRUE(RunUntil(loop, [&] { return log == gone; })) << ::testing::PrintToString(log);
    EXPECT_EQ(std::pair(monitor.BurstCount(), devID("fenwy")), std::pair(1ul, -1));

    // Back again, and a new device with it: the same DevID for the known box, the next for
    // the new one, one rescan for both.
    log.clear();
    ASSERT_TRUE(bed.Plug("fenwy"));
    ASSERT_TRUE(bed.Plug("mirel-2"));
    EXPECT_TRUE(RunUntil(loop, [&] { return log.size() == 3; })) << ::testing::PrintToString(log);
    EXPECT_EQ(std::tuple(monitor.BurstCount(), devID("fenwy"), devID("mirel-2")),
              std::tuple(2ul, fenwy, 3));
    // clang-format off
    std::erase_if(debug.Lines, [](auto& l) { return !l.starts_with("TUSB_ConnectedDevices|"); });
    EXPECT_EQ(debug.Lines, (std::vector<std::string>{
        "TUSB_ConnectedDevices|Device (DevID: 2) removed",
        "TUSB_ConnectedDevices|Device (DevID: 3) Inserted",
        "TUSB_ConnectedDevices|Device (DevID: 2) re-inserted"}));
    // clang-format on

    // The new device object works through the real transport.
    ASSERT_TRUE(host.ConnectDevice(a, fenwy, cmShared, nullptr, id, reconnected));
    ASSERT_TRUE(host.OpenDevice(id)) << ::testing::PrintToString(debug.Lines);
    std::int32_t count = 0;
    ASSERT_TRUE(host.WriteBuffer(id, TSafeByteArray(std::vector<std::uint8_t>{0x11, 0x22}), count));
    TSafeByteArray reply(2, 1);
    ASSERT_TRUE(host.ReadBuffer(id, reply, count));
    EXPECT_EQ(std::vector<std::uint8_t>(reply.Data().begin(), reply.Data().end()),
              (std::vector<std::uint8_t>{0x11, 0x22}));
}

// The monitor alone on a bare testbed: what other devices do makes no rescan.
TEST(DeviceChangeMonitorTest, OnlyUsbDevicesArrivingOrLeavingCount) {
    ASSERT_TRUE(TSimTestbed::PreloadActive()) << "run under umockdev-wrapper";
    struct TTestbedUnref {
        void operator()(UMockdevTestbed* testbed) const { g_object_unref(testbed); }
    };
    std::unique_ptr<UMockdevTestbed, TTestbedUnref> bed(umockdev_testbed_new());
    auto loop = TEventLoop::Default();
    int changes = 0;
    TDeviceChangeMonitor monitor(loop.Get(), [&] { ++changes; });
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

    EXPECT_TRUE(RunUntil(loop, [&] { return changes > 0; }));
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(monitor.EventCount(), 2u); // the box's "add" and "bind"; nothing else
    g_free(battery);
    g_free(box);
    g_free(port);
}

} // namespace
