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

using ::testing::ElementsAre;

namespace {

using Bytes = std::vector<std::uint8_t>;

TSimDeviceConfig LibusbDevice(const std::string& name, TSimDriver driver, std::string instance) {
    TSimDeviceConfig c;
    c.Name = name;
    c.Driver = driver;
    c.VendorId = 0x0483;
    c.ProductId = 0xA7F1;
    c.Instance = std::move(instance);
    c.SerialNumber = 123456;
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

TEST_F(DeviceLayer, EachColumnFindsItsOwnInterfaceClassInUdevOrder) {
    ASSERT_TRUE(bed->AddDevice(LibusbDevice("a", TSimDriver::WinUSB_ST, "ABCDEFGHI009")));
    ASSERT_TRUE(bed->AddDevice(LibusbDevice("b", TSimDriver::WinUSB_ST, "ABCDEFGHI019")));
    ASSERT_TRUE(bed->AddDevice(LibusbDevice("c", TSimDriver::WinUSB_Silabs, "ABCDEFGHI029")));
    auto lower = LibusbDevice("d", TSimDriver::WinUSB_ST, "ABCDEFGHI039");
    // Discovery compares the GUID without regard to case.
    lower.InterfaceGuid = "{0ceaff08-b1fd-4d12-b748-353077277f7e}";
    ASSERT_TRUE(bed->AddDevice(lower));
    auto notAGuid = LibusbDevice("e", TSimDriver::WinUSB_ST, "ABCDEFGHI049");
    notAGuid.InterfaceGuid = "0CEAFF08-B1FD-4D12-B748-353077277F7E";
    ASSERT_TRUE(bed->AddDevice(notAGuid));

    TUSB_IFDeviceGrid grid;
    grid.RescanAll();
    // Each cell: its devices' LinkNames, each with the cell's driver type.
    const auto names = [&](TUSB_DeviceDriver column) {
        std::vector<std::string> names;
        const auto& cell = grid.Cell(dtNotRecognized, column);
        for (int i = 0; i < cell.Count(); ++i) {
            EXPECT_EQ(cell.Items(i)->DriverType, column);
            names.push_back(cell.Items(i)->LinkName);
        }
        return names;
    };
    EXPECT_EQ(names(ddWinUSB_ST),
              (std::vector<std::string>{
                  bed->LinkName("a"), bed->LinkName("b"),
                  "usb#vid_0483&pid_a7f1#ABCDEFGHI039#{0CEAFF08-B1FD-4D12-B748-353077277F7E}"}));
    EXPECT_EQ(names(ddWinUSB_Silabs), std::vector{bed->LinkName("c")});
    EXPECT_TRUE(names(ddSilabs).empty());
}

// The friendly name's fallbacks (description, then the path) are checked on the grid in
// SimDiscoveryTest.

TEST_F(DeviceLayer, TheHundredAndTwentyNinthInterfaceIsNotFound) {
    // Pipe-file devices need no device node, so 129 of them fit on one simulated bus; Brisk
    // boxes are never opened, so discovery alone is at work.
    for (int i = 0; i < 129; ++i) {
        TSimDeviceConfig c = LibusbDevice("brisk" + std::to_string(i), TSimDriver::Silabs,
                                          "B" + std::to_string(1000 + i));
        c.VendorId = 0x10C4;
        c.ProductId = 0x83CC;
        ASSERT_TRUE(bed->AddDevice(c)) << i;
    }
    TUSB_IFDeviceCollection cell(ddSilabs, InterfaceGUIDOf(dtBrisk, ddSilabs));
    cell.Refresh();
    ASSERT_EQ(cell.Count(), 128);
    const auto* first = cell.Items(0);
    EXPECT_EQ(std::tuple(first->DevType, first->DriverType, first->VidPid),
              std::tuple(dtBrisk, ddSilabs, "vid_10c4&pid_83cc"));
}

TEST_F(DeviceLayer, RecognisedDevicesMoveAsTheSameObject) {
    auto fenwy = LibusbDevice("fenwy", TSimDriver::WinUSB_ST, "ABCDEFGHI007");
    fenwy.FriendlyName = "Fenwy";
    ASSERT_TRUE(bed->AddDevice(fenwy));
    ASSERT_TRUE(bed->AddDevice(LibusbDevice("unknown", TSimDriver::WinUSB_ST, "ABCDEFGHI042")));
    auto brisk = LibusbDevice("brisk", TSimDriver::WinUSB_ST, "B1");
    brisk.VendorId = 0x10C4;
    brisk.ProductId = 0x83CC;
    // A Brisk box announcing the row-0 class ends up in the Brisk row all the same.
    brisk.InterfaceGuid = std::string(kSimGuidWinUSBST);
    ASSERT_TRUE(bed->AddDevice(brisk));

    TUSB_IFDeviceGrid grid;
    TUSB_IFDeviceCollection& row0 = grid.Cell(dtNotRecognized, ddWinUSB_ST);
    row0.Refresh();
    ASSERT_EQ(row0.Count(), 3);
    TUSB_IFDeviceBase* first = row0.Items(0);
    TUSB_IFDeviceBase* second = row0.Items(1);
    TUSB_IFDeviceBase* third = row0.Items(2);
    first->DevID = 41;
    grid.SortRecognised(ddWinUSB_ST);
    // Each cell holds one object, the second one still looked at and left where it was.
    const auto only = [&](TUSBDevType row) {
        const auto& cell = grid.Cell(row, ddWinUSB_ST);
        return cell.Count() == 1 ? cell.Items(0) : nullptr;
    };
    EXPECT_EQ(std::tuple(only(dtFenwy), only(dtNotRecognized), only(dtBrisk)),
              std::tuple(first, second, third));
    EXPECT_EQ(std::tuple(first->DevID, first->FriendlyName, first->LinkName),
              std::tuple(41, "Fenwy", bed->LinkName("fenwy")));
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
