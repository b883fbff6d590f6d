// SPDX-License-Identifier: MIT
// The ZEMB server process: start-up order, registration, the single-instance rule, serving
// clients from one sd-event loop (carried by the window's loop when there is a window), and the
// orderly end.
#include "server/ServerMain.h"

#include "base/DebugLog.h"
#include "base/EventLoop.h"
#include "base/ExecutablePaths.h"
#include "base/OperatorMessages.h"
#include "base/ProcessList.h"
#include "base/Settings.h"
#include "base/StartupEffects.h"
#include "base/VersionRecord.h"
#include "bus/Marshal.h"
#include "contract/InterfaceTable.h"
#include "host/DeviceChangeWindow.h"
#include "host/DeviceMonitor.h"
#include "host/HostOperations.h"
#include "server/AutomationRuntime.h"
#include "server/CommunicationLog.h"
#include "server/OperatorInterface.h"
#include "server/Registration.h"
#include "server/ServerObject.h"
#include "usb/LatencySimulation.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using namespace ZEMB;

namespace {
constexpr const char* kUsage = R"(Usage: zemb-server [OPTION]... [SWITCH]

The ZEMB server: shares the USB link programming devices of this computer between client
applications, which reach it on the D-Bus session bus as org.zemb.ZEMB.

Switches (after "-" or "/", letter case ignored):
  -Automation, -Embedding  started by the bus for a client; ends with the last client's
                           server object
  -RegServer               write the registration (D-Bus service and interface files), end
  -UnregServer             remove the registration, end
  (none)                   stand-alone: runs until it is ended (SIGTERM, SIGINT) or the
                           operator closes it

Where a display is reachable (X11 or Wayland), the server keeps an operator window: an icon
in the notification area, behind it the devices with their connections and clients, and the
communication log; its menu closes the server. The window starts hidden.

Options:
  --no-window   run without the operator window (the default where there is no display)
  --help        show this text and end
  --version     show the build string and end

Environment:
  ZEMB_CONFIG_DIR   folder of FENWY.INI, QUOREN.INI and Nabto.ini (default: the folder of
                    the executable)
  ZEMB_SYSTEM_DIR   folder of Zalto.ini (default: /etc)
)";

// Every path out ends the same way: the watchdog log written. The host objects, declared
// after it, are freed before (devices closed).
struct TProcessEnd {
    ~TProcessEnd() {
        DestroyNabtoSim();
        FinishProgrammingLibrary();
    }
};

// The process's host objects, made once at start-up and freed in reverse: the server objects'
// context and its host first, then the container (devices closed), then the window.
struct THostObjects {
    TFrmMessageCatch MessageCatch;
    TUSB_IFHostContainer Container{MessageCatch};
    TServerContext Context{Container};
};

// The server objects made by the runtime work on the process's one context.
std::vector<TAutoObjectFactory> ServerClassFactories(TServerContext& context) {
    using ZEMB::TInterface;
    return {
        {"ZEMBServer", CLASS_ZEMBServer, TInterface::IZEMBServer,
         [&context] { return std::make_shared<TZEMBServer>(context); }},
        {"ZEMBServer2", CLASS_ZEMBServer2, TInterface::IZEMBServer2,
         [&context] { return std::make_shared<TZEMBServer2>(context); }},
        {"ZEMBServer3", CLASS_ZEMBServer3, TInterface::IZEMBServer3,
         [&context] { return std::make_shared<TZEMBServer3>(context); }},
        {"ZEMBServer4", CLASS_ZEMBServer4, TInterface::IZEMBServer4,
         [&context] { return std::make_shared<TZEMBServer4>(context); }},
    };
}
} // namespace

int RunServer(std::span<const std::string_view> args, TOperatorWindowHooks* window) {
    for (std::string_view arg : args) {
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("zemb-server %s\n", GetOwnVersionString().c_str());
            return 0;
        }
    }
    const TStartMode mode = FindStartMode(args);
    std::signal(SIGPIPE, SIG_IGN);
    // Registering and unregistering show nothing.
    if (mode == TStartMode::smRegServer || mode == TStartMode::smUnregServer) {
        window = nullptr;
    }
    sigset_t termination;
    sigemptyset(&termination);
    sigaddset(&termination, SIGTERM);
    sigaddset(&termination, SIGINT);
    if (window) {
        // Before Qt starts its threads: they inherit the mask, so the signals reach the loop
        // only, not a thread whose default action ends the process.
        sigprocmask(SIG_BLOCK, &termination, nullptr);
        if (!window->Start()) {
            window = nullptr;
        }
    }

    // Unit initialisation, in order.
    CreateNabtoSim();
    RunProgrammingLibraryStartup();
    LoadSettings();
    TProcessEnd processEnd;
    // The first device scan happens here, with the container.
    THostObjects host;
    host.Context.EnsureHost();
    std::vector<TAutoObjectFactory> factories = ServerClassFactories(host.Context);
    ResetCommLogState();
    CommunicationLog().SetMaxLines(static_cast<std::size_t>(ZEMBSettings().CommunicationLogLines));

    // Registration at every start; only the register mode reports a failure.
    std::string error;
    if (!UpdateRegistration(mode, ExecutablePath(), error)) {
        std::fprintf(stderr, "zemb-server: %s\n", error.c_str());
        return 1;
    }
    if (mode == TStartMode::smRegServer || mode == TStartMode::smUnregServer) {
        return 0;
    }

    auto bus = TZEMBBus::OpenSession(error);
    if (!bus) {
        std::fprintf(stderr, "zemb-server: cannot connect to the session bus: %s\n", error.c_str());
        return 1;
    }
    TAutomationServer automation(bus);
    for (auto& factory : factories) {
        automation.AddFactory(std::move(factory));
    }
    // A client that ended without unhooking keeps its registration and connections, but the
    // callbacks it passed can never answer again: left in place, the first of them would end
    // every later device notification before the clients registered after it.
    automation.SetCallbacksVanishedHook(
        [&host](const std::vector<std::shared_ptr<IZEMBHost>>& hosts,
                const std::vector<std::shared_ptr<IZEMBEvent>>& events) {
            host.Container.ForgetCallbacks(hosts, events);
        });
    // Its sessions end with it: left running, they would hold back every device change.
    automation.SetObjectsVanishedHook([](const std::vector<std::shared_ptr<IZEMBServer>>& objects) {
        for (const auto& object : objects)
            if (auto* server = dynamic_cast<TZEMBServer*>(object.get()))
                server->ClientLeft();
    });
    // A rescan tells every client at once and waits for their answers together.
    host.Container.CallGroup = {
        [bus] { bus->BeginCallGroup(); },
        [bus] {
            std::vector<std::pair<std::string, HRESULT>> failed;
            for (const auto& f : bus->EndCallGroup())
                failed.emplace_back(f.Member, ZEMB::StatusOfError(f.ErrorName, f.ErrorMessage));
            return failed;
        }};
    std::string nameError;
    const bool serving = automation.Start(nameError);

    // One copy at a time on this session bus: a server on a private bus (a test, the
    // simulator's session) is no second copy. Where another copy's environment cannot be read,
    // the name tells: held by us, no other server serves this bus.
    const std::uint16_t copies = CountSessionInstances(
        [&] { return !serving && bus->NameHasOwner(std::string(ZEMB::BusName)); });
    if (copies != 1) {
        const std::string text = "ZEMB already started" + std::to_string(copies);
        // Headless, the message box's text goes to standard error.
        std::fprintf(stderr, "%s\n", text.c_str());
        // Where no window of the other copy was found (Wayland, no window manager, a headless
        // first or second copy), the other copy is asked to show its own.
        if ((window ? window->ActivateOtherInstance() : 0) == 0) {
            AskRunningCopyToShowWindow(*bus);
        }
        return 1;
    }
    if (!serving) {
        std::fprintf(stderr, "zemb-server: %s\n", nameError.c_str());
        return 1;
    }

    ServeOperatorInterface(automation, host.Context);
    struct TOperatorServing {
        ~TOperatorServing() { StopOperatorInterface(); }
    } operatorServing;

    // The window lives inside the operator interface's time and goes before it.
    struct TWindowLife {
        TOperatorWindowHooks* Window;
        ~TWindowLife() {
            if (Window) {
                Window->Destroy();
            }
        }
    } windowLife{window};
    if (window) {
        window->CreateHidden(host.Context, [&automation] { return automation.ObjectCount(); });
    }

    TEventLoop event = TEventLoop::Default();
    if (!event.Valid()) {
        std::fprintf(stderr, "zemb-server: cannot create the event loop\n");
        return 1;
    }
    sigprocmask(SIG_BLOCK, &termination, nullptr);
    const TEventSource onTerm = event.AddSignal(SIGTERM, [&] { event.Exit(0); });
    const TEventSource onInt = event.AddSignal(SIGINT, [&] { event.Exit(0); });

    bus->AttachEvent(event.Get());
    bus->SetConnectionLostHandler([&] { event.Exit(0); });
    // A turn's debug lines go out together when the loop is about to wait (the bus's prepare
    // flushes them): one write a turn instead of one a line.
    HoldDebugOutput(true);
    struct TDebugOutputHeld {
        ~TDebugOutputHeld() { HoldDebugOutput(false); }
    } debugOutputHeld;
    // Device operations run on the devices' workers from now on; their outcomes come back
    // through the loop, and through the pump while it waits for a client's answer (the client
    // may be waiting for one of them from inside its callback).
    TDeviceScheduler& workers = host.Container.Workers;
    workers.Attach(event.Get());
    bus->SetNestedWatch(workers.CompletionFd(), [&workers] { workers.RunFinished(); });
    if (mode == TStartMode::smAutomation) {
        automation.SetLastReleaseHook([&] { event.Exit(0); });
    }
    // Udev bursts reach the window as device-change messages, which rescan the container.
    std::optional<TDeviceChangeMonitor> monitor;
    monitor.emplace(event.Get(), [&host] { host.MessageCatch.WMDeviceChange(); });
    if (!monitor->Started()) {
        monitor.reset();
        ConfDebugString(
            "zemb-server: no device-change monitor; devices plugged in later are not seen");
    }

    const int status = window ? window->Run(event) : event.Run();
    monitor.reset();
    bus->SetNestedWatch(-1, nullptr);
    workers.Attach(nullptr);
    bus->DetachEvent();
    return status < 0 ? 1 : 0;
}
