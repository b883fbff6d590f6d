// SPDX-License-Identifier: MIT
// The automation runtime serving stand-in server objects, as the integration tests and the
// client example need it. Prints one line per event on standard output:
//   "ready", "objects N" (live stand-in objects), "last-release", and for a client that
//   leaves with callbacks still held "vanished-callbacks hosts H events E held K" (K: how
//   many of the stand-in's own sink and connection references were among them; it drops
//   them).
// -Embedding ends the process on the last release, as the real server does. --recorder serves
// objects that answer every method with the agreed values of ZEMBStandIn.h.
//   zemb_standin_server [-Embedding] [--recorder] [--callback-timeout-ms N]
#include "ZEMBStandIn.h"
#include "server/AutomationRuntime.h"
#include "server/Registration.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <systemd/sd-event.h>
#include <vector>

using namespace ZEMB;

namespace {

int LiveObjects = 0;

void Report(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

std::map<std::int32_t, std::shared_ptr<IZEMBHost>> Sinks;
std::map<std::int32_t, std::shared_ptr<IZEMBEvent>> Events;
std::int32_t NextClient = 0;
std::int32_t NextConnection = 0;

#define INDEX(intf, name) ZEMB::MethodIndex(ZEMB::TInterface::intf, #name)

class TCountedServer : public StandIn::TServerRecorder {
public:
    TCountedServer() { Report("objects " + std::to_string(++LiveObjects)); }
    ~TCountedServer() override { Report("objects " + std::to_string(--LiveObjects)); }
};

// With --recorder: every method answers the agreed values. -100 calls every method of the
// callback passed back with the agreed values; -666 throws past the call's own barrier.
class TRecorderServer final : public TCountedServer {
public:
    HRESULT SetZEMBHost2(std::int32_t ClientAppID, const std::shared_ptr<IZEMBHost>& ZEMBHost,
                         bool& Result) override {
        if (ClientAppID != -100)
            return TServerRecorder::SetZEMBHost2(ClientAppID, ZEMBHost, Result);
        Result = ZEMBHost != nullptr;
#define CALL_HOST(intf, slot, dispid, name, ...)                                                   \
    Result = Result && StandIn::Exercise<INDEX(intf, name)>(*ZEMBHost, &IZEMBHost::name);
        ZEMB_IZEMBHOST_METHODS(CALL_HOST)
#undef CALL_HOST
        return S_OK;
    }

    HRESULT ConnectDevice(std::int32_t ClientAppID, std::int32_t DevID, std::uint8_t Mode,
                          const std::shared_ptr<IZEMBEvent>& Callback, std::int32_t& ConnectID,
                          bool& Result) override {
        if (ClientAppID != -100)
            return TServerRecorder::ConnectDevice(ClientAppID, DevID, Mode, Callback, ConnectID,
                                                  Result);
        Result = Callback != nullptr;
#define CALL_EVENT(intf, slot, dispid, name, ...)                                                  \
    Result = Result && StandIn::Exercise<INDEX(intf, name)>(*Callback, &IZEMBEvent::name);
        ZEMB_IZEMBEVENT_METHODS(CALL_EVENT)
#undef CALL_EVENT
        return S_OK;
    }

    HRESULT TotalBufferSize(std::int32_t DevID, std::int32_t& Value, bool& Result) override {
        if (DevID == -666)
            throw std::runtime_error("escaped the call's own barrier");
        return TServerRecorder::TotalBufferSize(DevID, Value, Result);
    }
};

// Otherwise a small behaviour that the callback, release and example tests rely on.
class TStandInServer final : public TCountedServer {
public:
    HRESULT HookupClientApp2(std::uint8_t /*ClientAppType*/, std::int32_t /*ClientProcessID*/,
                             const std::string& /*ClientComputerName*/,
                             const std::string& /*ClientExeName*/, std::int32_t& ClientAppID,
                             bool& Result) override {
        ClientAppID = ++NextClient;
        Result = true;
        return S_OK;
    }

    HRESULT SetZEMBHost2(std::int32_t ClientAppID, const std::shared_ptr<IZEMBHost>& ZEMBHost,
                         bool& Result) override {
        Result = Sinks[ClientAppID] != ZEMBHost;
        Sinks[ClientAppID] = ZEMBHost;
        return S_OK;
    }

    HRESULT EnumDevices2(std::int32_t ClientAppID, std::uint8_t /*DevType*/,
                         bool& Result) override {
        Result = false;
        auto sink = Sinks[ClientAppID];
        if (!sink)
            return S_OK;
        for (std::int32_t devId = 1; devId <= 3; ++devId) {
            bool answer = false;
            if (FAILED(sink->EnumDevice(devId, answer)))
                return S_OK; // a failing sink ends the enumeration: Result False
        }
        Result = true;
        return S_OK;
    }

    HRESULT DevInfo(std::int32_t DevID, bool& Active, std::uint8_t& Mode, std::string& LinkName,
                    std::string& FriendlyName, std::string& /*SerialNumber*/,
                    std::string& /*VidPid*/, std::string& /*GUID_*/,
                    std::string& /*UserDeviceName*/, std::uint8_t& /*DevType*/,
                    std::uint8_t& /*DriverType*/, std::int32_t& Firmware,
                    std::uint8_t& /*App_ID_Hardware_Revision*/,
                    std::uint16_t& /*Meas_App_FPGA_Rev*/, bool& Result) override {
        Mode = 0;
        Active = false;
        LinkName = "usb#vid_10c4&pid_83cc#" + std::to_string(DevID) +
                   "#{00000000-0000-0000-0000-000000000000}";
        FriendlyName = "Device " + std::to_string(DevID);
        Firmware = 0x0204;
        Result = DevID >= 1 && DevID <= 3;
        return S_OK;
    }

    HRESULT ConnectDevice(std::int32_t /*ClientAppID*/, std::int32_t /*DevID*/,
                          std::uint8_t /*Mode*/, const std::shared_ptr<IZEMBEvent>& Callback,
                          std::int32_t& ConnectID, bool& Result) override {
        ConnectID = ++NextConnection;
        Events[ConnectID] = Callback;
        Result = true;
        return S_OK;
    }

    HRESULT DisconnectDevice(std::int32_t ConnectID, bool& Result) override {
        auto event = Events[ConnectID];
        Events.erase(ConnectID);
        Result = event && SUCCEEDED(event->Disconnected(ConnectID));
        return S_OK;
    }

    HRESULT FirstDevice2(std::uint8_t /*DevType*/, std::int32_t /*ClientAppID*/,
                         std::uint8_t /*Mode*/, std::int32_t& DevID, bool& Result) override {
        DevID = 1;
        Result = true;
        return S_OK;
    }

    HRESULT OpenDevice(std::int32_t ConnectID, bool& Result) override {
        Result = Events.contains(ConnectID);
        return S_OK;
    }

    HRESULT CloseDevice(std::int32_t ConnectID, bool& Result) override {
        Result = Events.contains(ConnectID);
        return S_OK;
    }

    HRESULT WriteBuffer(std::int32_t ConnectID, const TSafeByteArray& WriteData,
                        std::int32_t& WriteCount, bool& Result) override {
        WriteCount = static_cast<std::int32_t>(WriteData.Bytes());
        Result = Events.contains(ConnectID);
        return S_OK;
    }

    HRESULT ReadBuffer(std::int32_t ConnectID, TSafeByteArray& ReadData, std::int32_t& ReadCount,
                       bool& Result) override {
        for (auto& b : ReadData.Data())
            b = 0xA5;
        ReadCount = static_cast<std::int32_t>(ReadData.Bytes());
        Result = Events.contains(ConnectID);
        return S_OK;
    }

    HRESULT UnhookClientApp(std::int32_t ClientAppID, bool& Result) override {
        Result = Sinks.erase(ClientAppID) > 0;
        return S_OK;
    }
};

struct TEventUnref {
    void operator()(sd_event* e) const { sd_event_unref(e); }
};

} // namespace

int main(int argc, char** argv) {
    TStartMode mode = FindStartMode(argc, argv);
    long timeoutMs = 5000;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--callback-timeout-ms") == 0)
            timeoutMs = std::atol(argv[i + 1]);

    std::string error;
    if (mode == TStartMode::smRegServer || mode == TStartMode::smUnregServer) {
        std::error_code ec;
        std::string self = std::filesystem::read_symlink("/proc/self/exe", ec).string();
        if (!UpdateRegistration(mode, self, error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        return 0;
    }
    auto bus = TZEMBBus::OpenSession(error);
    if (!bus) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    sd_event* rawEvent = nullptr;
    if (sd_event_new(&rawEvent) < 0)
        return 1;
    std::unique_ptr<sd_event, TEventUnref> event(rawEvent);
    {
        TAutomationServer server(bus);
        server.SetCallbackTimeout(std::chrono::milliseconds(timeoutMs));
        const bool recorder = std::find_if(argv, argv + argc, [](const char* a) {
                                  return std::strcmp(a, "--recorder") == 0;
                              }) != argv + argc;
        auto make = [recorder]() -> std::shared_ptr<IZEMBServer> {
            if (recorder)
                return std::make_shared<TRecorderServer>();
            return std::make_shared<TStandInServer>();
        };
        server.AddFactory({"ZEMBServer", CLASS_ZEMBServer, ZEMB::TInterface::IZEMBServer, make});
        server.AddFactory({"ZEMBServer2", CLASS_ZEMBServer2, ZEMB::TInterface::IZEMBServer2, make});
        server.AddFactory({"ZEMBServer3", CLASS_ZEMBServer3, ZEMB::TInterface::IZEMBServer3, make});
        server.AddFactory({"ZEMBServer4", CLASS_ZEMBServer4, ZEMB::TInterface::IZEMBServer4, make});
        server.SetLastReleaseHook([&] {
            Report("last-release");
            if (mode == TStartMode::smAutomation)
                sd_event_exit(event.get(), 0);
        });
        server.SetCallbacksVanishedHook([](const std::vector<std::shared_ptr<IZEMBHost>>& hosts,
                                           const std::vector<std::shared_ptr<IZEMBEvent>>& events) {
            int held = 0;
            held += static_cast<int>(std::erase_if(Sinks, [&](const auto& s) {
                return std::ranges::find(hosts, s.second) != hosts.end();
            }));
            held += static_cast<int>(std::erase_if(Events, [&](const auto& e) {
                return std::ranges::find(events, e.second) != events.end();
            }));
            Report("vanished-callbacks hosts " + std::to_string(hosts.size()) + " events " +
                   std::to_string(events.size()) + " held " + std::to_string(held));
        });
        bus->SetConnectionLostHandler([&] { sd_event_exit(event.get(), 1); });
        if (!bus->AttachEvent(event.get()) || !server.Start(error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        Report("ready");
        int r = sd_event_loop(event.get());
        bus->DetachEvent();
        Sinks.clear();
        Events.clear();
        return r < 0 ? 1 : r;
    }
}
