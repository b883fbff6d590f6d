// SPDX-License-Identifier: MIT
// zemb-sim-probe: what the device layer sees. Lists the grid after one rescan, or prints the
// udev events of link devices (run it under zemb-sim).
#include "usb/DeviceGrid.h"
#include "usb/LibusbTransport.h"
#include "usb/LinkDevice.h"
#include "usb/UdevDiscovery.h"

#include <chrono>
#include <cstring>
#include <iostream>
#include <memory>
#include <poll.h>
#include <string>

namespace {
constexpr const char* kUsage =
    "usage: zemb-sim-probe              list the devices of every cell after one rescan\n"
    "       zemb-sim-probe --monitor N [--timeout MS]\n"
    "                                   print \"ready\", then the first N udev events of link\n"
    "                                   devices as ACTION LINKNAME (exit 1 on time-out)\n";

int ListGrid() {
    int count = 0;
    {
        TUSB_IFDeviceGrid grid;
        grid.RescanAll();
        grid.ForEach([&](TUSB_IFDeviceBase& d) {
            ++count;
            std::cout << ToText(d.DevType) << " " << ToText(d.DriverType) << " " << d.LinkName
                      << " \"" << d.FriendlyName << "\" serial=" << d.SerialNumber
                      << " firmware=" << FirmwareText(d.Firmware) << " buffer=" << d.TotalBufferSize
                      << " hw=" << static_cast<int>(d.App_ID_Hardware_Revision)
                      << " fpga=" << d.Meas_App_FPGA_Rev << "\n";
        });
    }
    FreeWinUsbDll();
    std::cout << count << (count == 1 ? " device\n" : " devices\n");
    return 0;
}

int Monitor(int wanted, int timeoutMs) {
    // Every USB uevent, interfaces included: the probe shows what udev passes on.
    TUdevMonitor monitor("");
    if (!monitor.Valid()) {
        std::cerr << "zemb-sim-probe: cannot monitor udev\n";
        return 1;
    }
    std::cout << "ready" << std::endl;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int seen = 0;
    while (seen < wanted) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd pfd{monitor.Fd(), POLLIN, 0};
        if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
            std::cerr << "zemb-sim-probe: " << seen << " of " << wanted << " events came\n";
            return 1;
        }
        TUdevMonitor::TUevent event;
        while (seen < wanted && monitor.Receive(event)) {
            if (!event.LinkName)
                continue;
            std::cout << (event.Action.empty() ? "?" : event.Action) << " " << *event.LinkName
                      << std::endl;
            ++seen;
        }
    }
    return 0;
}
} // namespace

int main(int argc, char** argv) {
    if (argc == 1)
        return ListGrid();
    int wanted = -1;
    int timeoutMs = 10000;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--monitor") && i + 1 < argc) {
            wanted = std::atoi(argv[++i]);
        } else if (!std::strcmp(argv[i], "--timeout") && i + 1 < argc) {
            timeoutMs = std::atoi(argv[++i]);
        } else {
            std::cerr << kUsage;
            return !std::strcmp(argv[i], "--help") ? 0 : 2;
        }
    }
    if (wanted < 1 || timeoutMs < 1) {
        std::cerr << kUsage;
        return 2;
    }
    return Monitor(wanted, timeoutMs);
}
