// SPDX-License-Identifier: MIT
// zemb-sim-probe: what the device layer sees. Lists the grid after one rescan, or prints the
// udev events of link devices (run it under zemb-sim).
#include "SetupApi.h"
#include "WinUsbDll.h"
#include "uUSB_IF.h"

#include <chrono>
#include <cstring>
#include <iostream>
#include <libudev.h>
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

std::string Property(udev_device* d, const char* name) {
    const char* v = udev_device_get_property_value(d, name);
    return v ? v : "";
}

int Monitor(int wanted, int timeoutMs) {
    std::unique_ptr<udev, decltype(&udev_unref)> context(udev_new(), udev_unref);
    if (!context)
        return 1;
    std::unique_ptr<udev_monitor, decltype(&udev_monitor_unref)> monitor(
        udev_monitor_new_from_netlink(context.get(), "udev"), udev_monitor_unref);
    if (!monitor ||
        udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), "usb", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor.get()) < 0) {
        std::cerr << "zemb-sim-probe: cannot monitor udev\n";
        return 1;
    }
    std::cout << "ready" << std::endl;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int seen = 0;
    while (seen < wanted) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd pfd{udev_monitor_get_fd(monitor.get()), POLLIN, 0};
        if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
            std::cerr << "zemb-sim-probe: " << seen << " of " << wanted << " events came\n";
            return 1;
        }
        std::unique_ptr<udev_device, decltype(&udev_device_unref)> d(
            udev_monitor_receive_device(monitor.get()), udev_device_unref);
        if (!d)
            continue;
        const auto guid = TGUID::FromString(Property(d.get(), "ZEMB_INTERFACE_GUID"));
        if (!guid)
            continue;
        std::string link = Property(d.get(), "ZEMB_PIPE_DIR");
        if (link.empty()) {
            std::string instance = Property(d.get(), "ID_SERIAL_SHORT");
            if (instance.empty())
                instance = udev_device_get_sysname(d.get());
            link = MakeLinkName(Property(d.get(), "ID_VENDOR_ID"), Property(d.get(), "ID_MODEL_ID"),
                                instance, *guid);
        }
        const char* action = udev_device_get_action(d.get());
        std::cout << (action ? action : "?") << " " << link << std::endl;
        ++seen;
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
