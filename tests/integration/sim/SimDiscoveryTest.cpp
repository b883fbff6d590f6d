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
TEST_F(SimDiscoveryTest, EveryDeviceInTheCellOfItsRecord) {
    auto bed = BedFromFile("test-grid.ini");
    TUSB_IFDeviceGrid grid;
    grid.RescanAll();
    auto seen = GridByLinkName(grid);
    // "later" starts unplugged and is not there.
    ASSERT_EQ(seen.size(), 6u);

    // What identification makes of each device is tested over fakes (tests/unit/usb); here
    // what discovery takes from the udev records: the cell of each interface class, the
    // friendly name (or the description), the pipe-file directory.
    const struct {
        std::string LinkName;
        TUSBDevType Row;
        TUSB_DeviceDriver Column;
        const char* FriendlyName;
    } cases[] = {
        {bed->LinkName("fenwy-st"), dtFenwy, ddWinUSB_ST, "Fenwy ST"},
        {bed->LinkName("fenwy-old"), dtFenwy, ddWinUSB_Silabs, "Old Fenwy"},
        {bed->PipeDir("mirel-pipe"), dtMirel, ddSilabs, nullptr},
        {bed->LinkName("brisk-st"), dtBrisk, ddWinUSB_ST, nullptr},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(seen.contains(c.LinkName)) << c.LinkName;
        EXPECT_EQ(seen.at(c.LinkName).row, c.Row) << c.LinkName;
        EXPECT_EQ(seen.at(c.LinkName).column, c.Column) << c.LinkName;
        if (c.FriendlyName) {
            EXPECT_EQ(seen.at(c.LinkName).device->FriendlyName, c.FriendlyName);
        }
    }
    EXPECT_EQ(seen.at(bed->PipeDir("mirel-pipe")).device->SerialNumber, "DEFGHI008");

    // Without a serial-number string the port path is the instance.
    const std::string noserial = bed->LinkName("noserial");
    EXPECT_EQ(noserial, "usb#vid_10c4&pid_8a60#1-6#{8BB2450C-43E0-4B8A-B573-AC056D538606}");
    const auto& ns = seen.at(noserial);
    EXPECT_EQ(ns.row, dtNotRecognized);
    EXPECT_EQ(ns.device->FriendlyName, noserial);
}

} // namespace
