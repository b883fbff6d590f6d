// SPDX-License-Identifier: MIT
// The automation runtime serving stand-in server objects, as the integration tests and the
// client example need it. Prints one line per event on standard output:
//   "ready", "objects N" (live stand-in objects), "last-release", and for a client that
//   leaves with callbacks still held "vanished-callbacks hosts H events E held K" (K: how
//   many of the stand-in's own sink and connection references were among them; it drops
//   them).
// -Embedding ends the process on the last release, as the real server does. Every method answers
// with the agreed values of ZEMBStandIn.h; --recorder first checks that the arguments are the
// agreed ones, otherwise a few methods keep sinks and connections as the callback, release and
// example tests need.
//   zemb_standin_server [-Embedding] [--recorder]
#include "ZEMBStandIn.h"
#include "base/EventLoop.h"
#include "server/AutomationRuntime.h"
#include "server/Registration.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

using namespace ZEMB;

namespace {

int LiveObjects = 0;

void Report(const std::string& line) {
    std::puts(line.c_str()); // stdout is line-buffered: the test reads each line as it comes
}

std::map<std::int32_t, std::shared_ptr<IZEMBHost>> Sinks;
std::map<std::int32_t, std::shared_ptr<IZEMBEvent>> Events;
std::int32_t NextConnection = 0;

// With --recorder, SetZEMBHost2 and ConnectDevice also call every method of the callback passed
// with the agreed values, and answer a false Result unless all of them answered the agreed ones.
// TotalBufferSize of -666 throws past the call's own barrier.
class TStandInServer final : public StandIn::TRecorder<IZEMBServer4> {
    using Agreed = StandIn::TRecorder<IZEMBServer4>;
    template <typename I>
    static HRESULT Exercise(const std::shared_ptr<I>& callback, HRESULT status, bool& Result) {
        Result = Result && callback && StandIn::Failing(*callback).empty();
        return status;
    }

public:
    TStandInServer() { Report("objects " + std::to_string(++LiveObjects)); }
    ~TStandInServer() override { Report("objects " + std::to_string(--LiveObjects)); }

    HRESULT SetZEMBHost2(std::int32_t ClientAppID, const std::shared_ptr<IZEMBHost>& ZEMBHost,
                         bool& Result) override {
        if (StandIn::CheckArguments)
            return Exercise(ZEMBHost, Agreed::SetZEMBHost2(ClientAppID, ZEMBHost, Result), Result);
        Result = std::exchange(Sinks[ClientAppID], ZEMBHost) != ZEMBHost;
        return S_OK;
    }

    HRESULT EnumDevices2(std::int32_t ClientAppID, std::uint8_t DevType, bool& Result) override {
        const auto sink = Sinks[ClientAppID];
        if (StandIn::CheckArguments || !sink)
            return Agreed::EnumDevices2(ClientAppID, DevType, Result);
        bool answer = false;
        Result = true;
        for (std::int32_t devId = 1; devId <= 3 && Result; ++devId)
            Result = SUCCEEDED(sink->EnumDevice(devId, answer)); // a failing sink ends it
        return S_OK;
    }

    HRESULT ConnectDevice(std::int32_t ClientAppID, std::int32_t DevID, std::uint8_t Mode,
                          const std::shared_ptr<IZEMBEvent>& Callback, std::int32_t& ConnectID,
                          bool& Result) override {
        if (StandIn::CheckArguments)
            return Exercise(
                Callback,
                Agreed::ConnectDevice(ClientAppID, DevID, Mode, Callback, ConnectID, Result),
                Result);
        Result = Callback != nullptr;
        Events[ConnectID = ++NextConnection] = Callback;
        return S_OK;
    }

    HRESULT DisconnectDevice(std::int32_t ConnectID, bool& Result) override {
        if (StandIn::CheckArguments)
            return Agreed::DisconnectDevice(ConnectID, Result);
        const auto event = std::exchange(Events[ConnectID], nullptr);
        Result = event && SUCCEEDED(event->Disconnected(ConnectID));
        return S_OK;
    }

    HRESULT TotalBufferSize(std::int32_t DevID, std::int32_t& Value, bool& Result) override {
        if (DevID == -666)
            throw std::runtime_error("escaped the call's own barrier");
        return Agreed::TotalBufferSize(DevID, Value, Result);
    }
};

} // namespace

int main(int argc, char** argv) {
    TStartMode mode = FindStartMode(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    StandIn::CheckArguments = std::any_of(
        argv + 1, argv + argc, [](auto* a) { return std::strcmp(a, "--recorder") == 0; });

    std::string error;
    auto fail = [&] {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    };
    if (mode == TStartMode::smRegServer || mode == TStartMode::smUnregServer) {
        std::error_code ec;
        const auto self = std::filesystem::read_symlink("/proc/self/exe", ec).string();
        return UpdateRegistration(mode, self, error) ? 0 : fail();
    }
    auto loop = TEventLoop::Default();
    auto bus = TZEMBBus::OpenSession(error);
    if (!bus || !loop.Valid())
        return fail();
    TAutomationServer server(bus);
    // Short: the tests' clients answer at once, or are gone.
    server.SetCallbackTimeout(std::chrono::milliseconds(3000));
    auto make = [] { return std::shared_ptr<IZEMBServer>(std::make_shared<TStandInServer>()); };
    server.AddFactory({"ZEMBServer", CLASS_ZEMBServer, TInterface::IZEMBServer, make});
    server.AddFactory({"ZEMBServer2", CLASS_ZEMBServer2, TInterface::IZEMBServer2, make});
    server.AddFactory({"ZEMBServer3", CLASS_ZEMBServer3, TInterface::IZEMBServer3, make});
    server.AddFactory({"ZEMBServer4", CLASS_ZEMBServer4, TInterface::IZEMBServer4, make});
    server.SetLastReleaseHook([&] {
        Report("last-release");
        if (mode == TStartMode::smAutomation)
            loop.Exit(0);
    });
    server.SetCallbacksVanishedHook([](const std::vector<std::shared_ptr<IZEMBHost>>& hosts,
                                       const std::vector<std::shared_ptr<IZEMBEvent>>& events) {
        // The references this stand-in held among those handed over, dropped.
        const auto drop = [](auto& held, const auto& gone) {
            return std::erase_if(held, [&](const auto& h) {
                return std::ranges::find(gone, h.second) != gone.end();
            });
        };
        const auto held = drop(Sinks, hosts) + drop(Events, events);
        Report("vanished-callbacks hosts " + std::to_string(hosts.size()) + " events " +
               std::to_string(events.size()) + " held " + std::to_string(held));
    });
    bus->SetConnectionLostHandler([&] { loop.Exit(1); });
    if (!bus->AttachEvent(loop.Get()) || !server.Start(error))
        return fail();
    Report("ready");
    const int r = loop.Run();
    bus->DetachEvent();
    Sinks.clear();
    Events.clear();
    return r < 0 ? 1 : r;
}
