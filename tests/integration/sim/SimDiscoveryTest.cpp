// SPDX-License-Identifier: MIT
// Discovery and identification of the device layer see exactly the simulated devices of a
// device file, in the right cells, with the right fields (run under umockdev-wrapper).
#include "SimTestbed.h"
#include "base/Settings.h"
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

// The demo file through zemb-sim and its probe: ZembSimToolTest; plug and unplug reaching a
// rescan: tests/integration/host.
TEST(SimDiscoveryTest, EveryDeviceInTheCellOfItsRecord) {
    ASSERT_TRUE(TSimTestbed::PreloadActive()) << "run under umockdev-wrapper";
    std::string error;
    const auto configs =
        LoadSimDeviceFile(std::string(ZEMB_SIM_DATA_DIR) + "/test-grid.ini", error);
    ASSERT_TRUE(configs) << error;
    const auto bed = std::make_unique<TSimTestbed>();
    for (const auto& c : *configs)
        ASSERT_TRUE(bed->AddDevice(c)) << c.Name;
    TUSB_IFDeviceGrid grid;
    ZEMBSettings().EnableEEPWrite = true;
    grid.RescanAll();
    ZEMBSettings().EnableEEPWrite = false;
    auto seen = GridByLinkName(grid);
    // "later" starts unplugged and is not there.
    ASSERT_EQ(seen.size(), 6u);

    // What identification makes of each device is tested over fakes (tests/unit/usb); here
    // what discovery takes from the udev records (the cell of each interface class, the
    // friendly name, else the description, else the LinkName; the pipe-file directory; the
    // port path as the instance of a device without a serial-number string) and that every
    // transport carries the identification.
    const std::string noserial = bed->LinkName("noserial");
    EXPECT_EQ(noserial, "usb#vid_10c4&pid_8a60#1-6#{8BB2450C-43E0-4B8A-B573-AC056D538606}");
    const struct {
        std::string LinkName;
        TUSBDevType Row;
        TUSB_DeviceDriver Column;
        std::string FriendlyName, Serial;
    } cases[] = {
        {bed->LinkName("fenwy-st"), dtFenwy, ddWinUSB_ST, "Fenwy ST", "123456"},
        {bed->LinkName("fenwy-old"), dtFenwy, ddWinUSB_Silabs, "Old Fenwy", "AB1234"},
        {bed->PipeDir("mirel-pipe"), dtMirel, ddSilabs, "Mirel on pipes", "DEFGHI008"},
        {bed->LinkName("brisk-st"), dtBrisk, ddWinUSB_ST, bed->LinkName("brisk-st"), ""},
        {noserial, dtNotRecognized, ddWinUSB_Silabs, noserial, "4294967295"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(seen.contains(c.LinkName)) << c.LinkName;
        const Seen& s = seen.at(c.LinkName);
        EXPECT_EQ(std::tuple(s.row, s.column, s.device->FriendlyName, s.device->SerialNumber),
                  std::tuple(c.Row, c.Column, c.FriendlyName, c.Serial))
            << c.LinkName;
    }
    // Four commands of one byte, replies of 3, 3, 8 and 1 bytes, on either libusb chip.
    for (const char* name : {"fenwy-st", "noserial"}) {
        EXPECT_EQ(std::pair(bed->Device(name)->BytesWritten(), bed->Device(name)->BytesRead()),
                  std::pair(4UL, 15UL))
            << name;
    }
}

} // namespace
