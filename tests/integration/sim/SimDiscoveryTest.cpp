// SPDX-License-Identifier: MIT
// Discovery and identification of the device layer see exactly the simulated devices of a
// device file, in the right cells, with the right fields (run under umockdev-wrapper).
#include "SimTestbed.h"
#include "uUSB_IF.h"

#include <gtest/gtest.h>
#include <map>

namespace {
struct Seen {
    TUSBDevType row;
    TUSB_DeviceDriver column;
    TUSB_IFDeviceBase* device;
};

std::map<std::string, Seen> GridByLinkName(const TUSB_IFDeviceGrid& grid) {
    std::map<std::string, Seen> seen;
    for (int row = 0; row < DevTypeCount; ++row) {
        for (int col = 0; col < DeviceDriverCount; ++col) {
            const auto& cell =
                grid.Cell(static_cast<TUSBDevType>(row), static_cast<TUSB_DeviceDriver>(col));
            for (int i = 0; i < cell.Count(); ++i) {
                auto* d = cell.Items(i);
                EXPECT_TRUE(seen.emplace(d->LinkName, Seen{static_cast<TUSBDevType>(row),
                                                           static_cast<TUSB_DeviceDriver>(col), d})
                                .second)
                    << "found twice: " << d->LinkName;
            }
        }
    }
    return seen;
}

std::unique_ptr<TSimTestbed> BedFromFile(const std::string& file) {
    std::string error;
    auto configs = LoadSimDeviceFile(std::string(ZEMB_SIM_DATA_DIR) + "/" + file, error);
    EXPECT_TRUE(configs) << error;
    auto bed = std::make_unique<TSimTestbed>();
    if (configs) {
        for (const auto& c : *configs)
            EXPECT_TRUE(bed->AddDevice(c)) << c.Name;
    }
    return bed;
}

class SimDiscoveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(TSimTestbed::PreloadActive()) << "run under umockdev-wrapper";
    }
};

TEST_F(SimDiscoveryTest, DemoFileGivesTheFourDemoDevices) {
    auto bed = BedFromFile("demo.ini");
    TUSB_IFDeviceGrid grid;
    grid.RescanAll();
    auto seen = GridByLinkName(grid);
    ASSERT_EQ(seen.size(), 4u);

    const auto& fenwy =
        seen.at("usb#vid_0483&pid_a7f1#FWY000042007#{0CEAFF08-B1FD-4D12-B748-353077277F7E}");
    EXPECT_EQ(fenwy.row, dtFenwy);
    EXPECT_EQ(fenwy.column, ddWinUSB_ST);
    EXPECT_EQ(fenwy.device->FriendlyName, "Fenwy Link (simulated)");
    EXPECT_EQ(fenwy.device->Firmware, 0x0204);
    EXPECT_EQ(FirmwareText(fenwy.device->Firmware), "02.04");
    EXPECT_EQ(fenwy.device->SerialNumber, "20401234");
    EXPECT_EQ(fenwy.device->App_ID_Hardware_Revision, 3);
    EXPECT_EQ(fenwy.device->Meas_App_FPGA_Rev, 0x0102);
    EXPECT_EQ(fenwy.device->TotalBufferSize, 2048);
    EXPECT_FALSE(fenwy.device->Active());

    const auto& mirel =
        seen.at("usb#vid_10c4&pid_8a5e#008MRL150001#{8BB2450C-43E0-4B8A-B573-AC056D538606}");
    EXPECT_EQ(mirel.row, dtMirel);
    EXPECT_EQ(mirel.column, ddWinUSB_Silabs);
    EXPECT_EQ(FirmwareText(mirel.device->Firmware), "01.50");
    EXPECT_EQ(mirel.device->SerialNumber, "MRL150001");
    EXPECT_EQ(mirel.device->TotalBufferSize, 0x0500 - 256);

    const std::string briskPath = bed->PipeDir("brisk");
    ASSERT_TRUE(seen.count(briskPath)) << briskPath;
    EXPECT_EQ(seen.at(briskPath).row, dtBrisk);
    EXPECT_EQ(seen.at(briskPath).column, ddSilabs);
    EXPECT_EQ(seen.at(briskPath).device->SerialNumber, "");
    EXPECT_EQ(seen.at(briskPath).device->VidPid, "vid_10c4&pid_83cc");

    const std::string unknownPath = bed->PipeDir("unknown");
    ASSERT_TRUE(seen.count(unknownPath)) << unknownPath;
    EXPECT_EQ(seen.at(unknownPath).row, dtNotRecognized);
    EXPECT_EQ(seen.at(unknownPath).column, ddSilabs);
    // Identified over the pipe files: the device answered every command.
    EXPECT_EQ(seen.at(unknownPath).device->Firmware, 0x0204);
    EXPECT_EQ(seen.at(unknownPath).device->SerialNumber, "7");
    EXPECT_EQ(seen.at(unknownPath).device->TotalBufferSize, 256);
}

TEST_F(SimDiscoveryTest, EveryIdentificationRuleOnBothKindsOfDevice) {
    auto bed = BedFromFile("test-grid.ini");
    TUSB_IFDeviceGrid grid;
    grid.RescanAll();
    auto seen = GridByLinkName(grid);
    // "later" starts unplugged and is not there.
    ASSERT_EQ(seen.size(), 6u);

    const auto& st = seen.at(bed->LinkName("fenwy-st"));
    EXPECT_EQ(st.row, dtFenwy);
    EXPECT_EQ(st.column, ddWinUSB_ST);
    EXPECT_EQ(st.device->SerialNumber, "123456");
    EXPECT_EQ(st.device->App_ID_Hardware_Revision, 7);
    EXPECT_EQ(st.device->Meas_App_FPGA_Rev, 0x1234);
    EXPECT_EQ(st.device->FriendlyName, "Fenwy ST");

    const auto& old = seen.at(bed->LinkName("fenwy-old"));
    EXPECT_EQ(old.row, dtFenwy);
    EXPECT_EQ(old.column, ddWinUSB_Silabs);
    EXPECT_EQ(old.device->Firmware, 0x0100); // 0x1000 as the old boxes report it
    EXPECT_EQ(old.device->SerialNumber, "AB1234");
    EXPECT_EQ(old.device->TotalBufferSize, 1);
    EXPECT_EQ(old.device->FriendlyName, "Old Fenwy"); // from the description

    const auto& pipe = seen.at(bed->PipeDir("mirel-pipe"));
    EXPECT_EQ(pipe.row, dtMirel);
    EXPECT_EQ(pipe.column, ddSilabs);
    EXPECT_EQ(pipe.device->SerialNumber, "DEFGHI008");
    EXPECT_EQ(pipe.device->TotalBufferSize, 0x0800 - 256);

    const auto& m203 = seen.at(bed->LinkName("mirel-203"));
    EXPECT_EQ(m203.row, dtMirel);
    EXPECT_EQ(m203.device->SerialNumber, "");

    const auto& brisk = seen.at(bed->LinkName("brisk-st"));
    EXPECT_EQ(brisk.row, dtBrisk);
    EXPECT_EQ(brisk.column, ddWinUSB_ST);
    EXPECT_EQ(brisk.device->Firmware, 0); // never opened

    // Without a serial-number string the port path is the instance.
    const std::string noserial = bed->LinkName("noserial");
    EXPECT_EQ(noserial, "usb#vid_10c4&pid_8a60#1-6#{8BB2450C-43E0-4B8A-B573-AC056D538606}");
    const auto& ns = seen.at(noserial);
    EXPECT_EQ(ns.row, dtNotRecognized);
    EXPECT_EQ(ns.device->SerialNumber, "4294967295");
    EXPECT_EQ(ns.device->FriendlyName, noserial);
}

TEST_F(SimDiscoveryTest, PlugAndUnplugChangeWhatARescanFinds) {
    auto bed = BedFromFile("test-grid.ini");
    ASSERT_TRUE(bed->Plug("later"));
    ASSERT_TRUE(bed->Unplug("mirel-pipe"));
    ASSERT_TRUE(bed->Unplug("fenwy-st"));
    TUSB_IFDeviceGrid grid;
    grid.RescanAll();
    auto seen = GridByLinkName(grid);
    EXPECT_EQ(seen.size(), 5u);
    EXPECT_TRUE(seen.count(bed->LinkName("later")));
    EXPECT_EQ(seen.at(bed->LinkName("later")).row, dtFenwy);
    EXPECT_FALSE(seen.count(bed->LinkName("fenwy-st")));
    EXPECT_FALSE(seen.count(bed->PipeDir("mirel-pipe")));

    // Back again: the same LinkName, identified afresh through its new node.
    ASSERT_TRUE(bed->Plug("fenwy-st"));
    ASSERT_TRUE(bed->Plug("mirel-pipe"));
    grid.RescanAll();
    seen = GridByLinkName(grid);
    EXPECT_EQ(seen.size(), 7u);
    EXPECT_EQ(seen.at(bed->LinkName("fenwy-st")).device->SerialNumber, "123456");
    EXPECT_EQ(seen.at(bed->PipeDir("mirel-pipe")).row, dtMirel);
}
} // namespace
