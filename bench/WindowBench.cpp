// SPDX-License-Identifier: MIT
// What the operator window pays for its tree: RefreshTree over 100 devices with 10 connections
// each, as data (the operator interface's GetDeviceTree) and into the window's tree widget (Qt's
// offscreen platform). The goal is 20 ms for the window's refresh.
#include "base/Settings.h"
#include "host/DeviceChangeWindow.h"
#include "host/HostOperations.h"
#include "host/ServerSink.h"
#include "server/DeviceTree.h"
#include "server/ServerObject.h"
#include "usb/DeviceGrid.h"
#include "usb/LinkDevice.h"
#include "window/MainWindow.h"

#include <QApplication>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {
// A link device without hardware; the tree only reads what the scan found.
class TBenchDevice final : public TUSB_IFDeviceBase {
public:
    bool GetDevInfo() override { return true; }
    bool OpenDevice() override { return false; }
    bool CloseDevice() override { return false; }
    bool StartSession() override { return false; }
    bool EndSession() override { return false; }
    bool ReadBuffer(std::uint8_t*, std::uint32_t, std::uint32_t& BytesRead) override {
        BytesRead = 0;
        return false;
    }
    bool WriteBuffer(const std::uint8_t*, std::uint32_t, std::uint32_t& BytesWritten) override {
        BytesWritten = 0;
        return false;
    }
};

// Devices × clients, every client connected (shared) to every device.
class TBenchHost {
public:
    TBenchHost(int devices, int clients)
        : container_(messages_,
                     {[devices](TUSB_IFDeviceGrid& grid) {
                          for (int n = 0; n < devices; ++n) {
                              auto device = std::make_unique<TBenchDevice>();
                              device->SerialNumber = "B" + std::to_string(100000 + n);
                              device->LinkName =
                                  "usb#vid_10c4&pid_ea61#" + device->SerialNumber + "#{GUID}";
                              device->DevType = dtFenwy;
                              device->DriverType = ddWinUSB_Silabs;
                              device->Firmware = 0x0204;
                              grid.Cell(dtFenwy, ddWinUSB_Silabs).Adopt(std::move(device));
                          }
                      },
                      [] { return TProcessList(std::vector<TProcessItem>{}); }, [] { return 1.0; },
                      [](std::chrono::milliseconds) {}}),
          context_(container_) {
        ZEMBSettings().EnableSharedAccess = true;
        TUSB_IFHostBase& host = context_.Host();
        std::vector<std::int32_t> devIDs;
        auto sink = std::make_shared<TZEMBHost>(container_);
        sink->OnEnumDevice = [&](std::int32_t DevID, auto&&...) { devIDs.push_back(DevID); };
        host.EnumDevices(sink);
        for (int c = 0; c < clients; ++c) {
            std::int32_t client = -1, connectID = -1;
            bool reconnected = false;
            host.HookupClientApp(aciVantor, 1000 + c, "PC1", "/opt/client" + std::to_string(c),
                                 client);
            for (std::int32_t devID : devIDs)
                host.ConnectDevice(client, devID, cmShared, nullptr, connectID, reconnected);
        }
    }
    TServerContext& Context() { return context_; }

private:
    TFrmMessageCatch messages_;
    TUSB_IFHostContainer container_;
    TServerContext context_;
};

TBenchHost& Host() {
    static TBenchHost host(100, 10);
    return host;
}

void BM_RefreshTreeData(benchmark::State& state) {
    TServerContext& context = Host().Context();
    std::size_t nodes = 0;
    for (auto _ : state) {
        nodes = RefreshTree(context).size();
        benchmark::DoNotOptimize(nodes);
    }
    state.counters["nodes"] = static_cast<double>(nodes);
}
BENCHMARK(BM_RefreshTreeData)->Unit(benchmark::kMillisecond);

void BM_RefreshTreeWindow(benchmark::State& state) {
    if (!std::getenv("QT_QPA_PLATFORM"))
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "zemb-bench";
    static char* argv[] = {name, nullptr};
    static QApplication app(argc, argv);
    TfrmMain window(Host().Context(), {});
    for (auto _ : state) {
        window.RefreshTree();
    }
    state.counters["nodes"] = static_cast<double>(RefreshTree(Host().Context()).size());
}
BENCHMARK(BM_RefreshTreeWindow)->Unit(benchmark::kMillisecond);
} // namespace
