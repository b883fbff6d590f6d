// SPDX-License-Identifier: MIT
// The real libudev discovery and libusb transport against simulated link devices in a
// umockdev testbed (run under umockdev-wrapper).
#include "SimTestbed.h"
#include "base/Settings.h"
#include "usb/DeviceGrid.h"
#include "usb/LibusbDevice.h"
#include "usb/LinkDevice.h"
#include "usb/PipeFileDevice.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <map>

using ::testing::ElementsAre;

namespace {

using Bytes = std::vector<std::uint8_t>;

TSimDeviceConfig LibusbDevice(const std::string& name, TSimDriver driver, std::string instance) {
    TSimDeviceConfig c;
    std::tie(c.Name, c.Driver, c.VendorId, c.ProductId, c.Instance, c.SerialNumber) =
        std::tuple(name, driver, 0x0483, 0xA7F1, std::move(instance), 123456);
    return c;
}

class DeviceLayer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(TSimTestbed::PreloadActive()) << "run under umockdev-wrapper";
        ZEMBSettings().EnableEEPWrite = false;
        // The fake node has no poll readiness and libusb spins while it waits: keep it short.
        SetWinUsbTransferTimeoutMs(200);
        bed = std::make_unique<TSimTestbed>();
    }
    void TearDown() override { SetWinUsbTransferTimeoutMs(5000); }

    std::unique_ptr<TSimTestbed> bed;
};

// What discovery takes from the udev records: the cell of each interface class (its GUID in
// either case; a GUID without braces is none), each cell in udev order; recognised devices
// moved up from row 0 with what identification found, the walk going on past unrecognised
// ones; the friendly name, else the description, else the LinkName; the pipe-file directory;
// the port path as the instance of a device without a serial-number string; and that every
// transport carries the identification. What identification makes of each device: over fakes
// in tests/unit/usb.
TEST_F(DeviceLayer, EveryDeviceInTheCellOfItsRecordInUdevOrder) {
    std::string error;
    const auto configs =
        LoadSimDeviceFile(std::string(ZEMB_SIM_DATA_DIR) + "/test-grid.ini", error);
    ASSERT_TRUE(configs) << error;
    for (const auto& c : *configs)
        ASSERT_TRUE(bed->AddDevice(c)) << c.Name;
    auto lower = LibusbDevice("lower", TSimDriver::WinUSB_ST, "ABCDEFGHI039");
    lower.InterfaceGuid = "{0ceaff08-b1fd-4d12-b748-353077277f7e}";
    auto notAGuid = LibusbDevice("e", TSimDriver::WinUSB_ST, "ABCDEFGHI049");
    notAGuid.InterfaceGuid = "0CEAFF08-B1FD-4D12-B748-353077277F7E";
    // A Brisk box announcing the row-0 class, found after an unrecognised device there.
    auto brisk0 = LibusbDevice("brisk0", TSimDriver::WinUSB_ST, "B1");
    std::tie(brisk0.VendorId, brisk0.ProductId, brisk0.InterfaceGuid) =
        std::tuple(0x10C4, 0x83CC, kSimGuidWinUSBST);
    ASSERT_TRUE(bed->AddDevice(LibusbDevice("a", TSimDriver::WinUSB_ST, "ABCDEFGHI009")) &&
                bed->AddDevice(brisk0) && bed->AddDevice(lower) && bed->AddDevice(notAGuid));
    TUSB_IFDeviceGrid grid;
    ZEMBSettings().EnableEEPWrite = true;
    grid.RescanAll(); // SetUp puts the setting back for the next test
    // Every device by LinkName: row, column, place in the cell, friendly name, serial.
    using TSeen = std::tuple<TUSBDevType, TUSB_DeviceDriver, int, std::string, std::string>;
    std::map<std::string, TSeen> seen;
    for (int row = 0; row < DevTypeCount; ++row)
        for (int col = 0; col < DeviceDriverCount; ++col) {
            const auto& cell = grid.Cell(TUSBDevType(row), TUSB_DeviceDriver(col));
            for (int i = 0; i < cell.Count(); ++i) {
                const auto* d = cell.Items(i);
                EXPECT_EQ(d->DriverType, TUSB_DeviceDriver(col)) << d->LinkName;
                seen[d->LinkName] = {TUSBDevType(row), d->DriverType, i, d->FriendlyName,
                                     d->SerialNumber};
            }
        }
    const std::string noserial = bed->LinkName("noserial"), a = bed->LinkName("a");
    EXPECT_EQ(noserial, "usb#vid_10c4&pid_8a60#1-6#{8BB2450C-43E0-4B8A-B573-AC056D538606}");
    const std::string lowerName =
        "usb#vid_0483&pid_a7f1#ABCDEFGHI039#{0CEAFF08-B1FD-4D12-B748-353077277F7E}";
    // clang-format off
    const std::map<std::string, TSeen> expected = {
        {bed->LinkName("fenwy-st"), {dtFenwy, ddWinUSB_ST, 0, "Fenwy ST", "123456"}},
        {bed->LinkName("fenwy-old"), {dtFenwy, ddWinUSB_Silabs, 0, "Old Fenwy", "AB1234"}},
        {bed->PipeDir("mirel-pipe"), {dtMirel, ddSilabs, 0, "Mirel on pipes", "DEFGHI008"}},
        {bed->LinkName("mirel-203"), {dtMirel, ddWinUSB_ST, 0, "Mirel 2.03", ""}},
        {bed->LinkName("brisk-st"), {dtBrisk, ddWinUSB_ST, 0, bed->LinkName("brisk-st"), ""}},
        {bed->LinkName("brisk0"), {dtBrisk, ddWinUSB_ST, 1, bed->LinkName("brisk0"), ""}},
        {noserial, {dtNotRecognized, ddWinUSB_Silabs, 0, noserial, "4294967295"}},
        {a, {dtNotRecognized, ddWinUSB_ST, 1, a, "123456"}},
        {lowerName, {dtNotRecognized, ddWinUSB_ST, 0, lowerName, "123456"}},
    };
    // clang-format on
    EXPECT_EQ(seen, expected);
    // Four commands of one byte, replies of 3, 3, 8 and 1 bytes, on either libusb chip.
    for (const char* name : {"fenwy-st", "noserial"})
        EXPECT_EQ(std::pair(bed->Device(name)->BytesWritten(), bed->Device(name)->BytesRead()),
                  std::pair(4UL, 15UL))
            << name;
}

TEST_F(DeviceLayer, TheHundredAndTwentyNinthInterfaceIsNotFound) {
    // Pipe-file devices need no device node, so 129 of them fit on one simulated bus; Brisk
    // boxes are never opened, so discovery alone is at work.
    for (int i = 0; i < 129; ++i) {
        TSimDeviceConfig c = LibusbDevice("brisk" + std::to_string(i), TSimDriver::Silabs,
                                          "B" + std::to_string(1000 + i));
        std::tie(c.VendorId, c.ProductId) = std::pair(0x10C4, 0x83CC);
        ASSERT_TRUE(bed->AddDevice(c)) << i;
    }
    TUSB_IFDeviceCollection cell(ddSilabs, InterfaceGUIDOf(dtBrisk, ddSilabs));
    cell.Refresh();
    ASSERT_EQ(cell.Count(), 128);
    const auto* first = cell.Items(0);
    EXPECT_EQ(std::tuple(first->DevType, first->DriverType, first->VidPid),
              std::tuple(dtBrisk, ddSilabs, "vid_10c4&pid_83cc"));
}

// Reopening an open device closes it first: else its own claim would shut it out.
TEST_F(DeviceLayer, ReopenClosesFirstAndCloseIsReported) {
    ASSERT_TRUE(bed->AddDevice(LibusbDevice("st", TSimDriver::WinUSB_ST, "ABCDEFGHI008")));
    TUSB_IFDeviceWinUSB_ST device;
    device.LinkName = bed->LinkName("st");
    ASSERT_TRUE(device.OpenDevice());
    EXPECT_EQ(std::tuple(device.PipeInfo.PipeType, device.PipeInfo.PipeId), std::tuple(2U, 0x81));
    EXPECT_TRUE(device.OpenDevice());
    EXPECT_TRUE(device.CloseDevice());
    EXPECT_FALSE(device.Active() || device.WinUsbHandle.Valid() || device.CloseDevice());
}

// The faults of a simulated device through these transports, each with its log lines, are
// in tests/integration/sim/SimFaultTest.cpp.

} // namespace
