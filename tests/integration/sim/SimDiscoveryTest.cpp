// SPDX-License-Identifier: MIT
// Discovery and identification of the device layer see exactly the simulated devices of a
// device file, in the right cells, with the right fields (run under umockdev-wrapper).
#include "SimTestbed.h"
#include "usb/DeviceGrid.h"
#include "usb/LinkDevice.h"

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

// The demo file through zemb-sim and its probe: ZembSimToolTest; plug and unplug reaching a
// rescan: tests/integration/host.
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

} // namespace
