// SPDX-License-Identifier: MIT
// A host on its own event loop with two clients, for the tests that drive it from outside
// (under zemb-sim). Writes one line per event to standard output:
//   log GROUP: LINE            a debug line of the host's groups
//   device DEVID LINKNAME      a device of the first scan, after the scan
//   connect CONNECTID DEVID    a connection of client A (one per device of the first scan)
//   ready
//   DeviceAdded DEVID @A|@B    DeviceRemoved DEVID @A|@B     (each client's sink)
//   Disconnected CONNECTID     Reconnected CONNECTID          (client A's connections)
//   session start|end CONNECTID ok|failed
//   pending 0|1                a device change waits for the sessions to end
// Reads requests from standard input, one a line: "start CONNECTID", "end CONNECTID",
// "pending". Ends
// at the end of its input or on SIGTERM.
#include "ConfDebugString.h"
#include "uUSB_IFHost.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <sys/epoll.h>
#include <systemd/sd-event.h>
#include <unistd.h>

namespace {

void Say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

class TPrintingEvent : public IZEMBEvent {
public:
    HRESULT Disconnected(std::int32_t ConnectID) override {
        Say("Disconnected " + std::to_string(ConnectID));
        return S_OK;
    }
    HRESULT Reconnected(std::int32_t ConnectID) override {
        Say("Reconnected " + std::to_string(ConnectID));
        return S_OK;
    }
};

class TPrintingSink : public IZEMBHost {
public:
    explicit TPrintingSink(std::string name) : name_(std::move(name)) {}
    HRESULT EnumDevice(std::int32_t, bool& Result) override { return Done(Result); }
    HRESULT EnumConnection(std::int32_t, bool& Result) override { return Done(Result); }
    HRESULT EnumApplication(std::int32_t, bool& Result) override { return Done(Result); }
    HRESULT DeviceAdded(std::int32_t DevID, bool& Result) override {
        Say("DeviceAdded " + std::to_string(DevID) + " @" + name_);
        return Done(Result);
    }
    HRESULT DeviceRemoved(std::int32_t DevID, bool& Result) override {
        Say("DeviceRemoved " + std::to_string(DevID) + " @" + name_);
        return Done(Result);
    }

private:
    static HRESULT Done(bool& Result) {
        Result = true;
        return S_OK;
    }
    std::string name_;
};

struct TProbe {
    std::unique_ptr<TUSB_IFHostLocal> Host;
    std::string Pending;
};

void Request(TProbe& probe, const std::string& line) {
    if (line == "pending") {
        Say(std::string("pending ") + (FrmMessageCatch()->Pending ? "1" : "0"));
        return;
    }
    const auto blank = line.find(' ');
    if (blank == std::string::npos)
        return;
    const std::string verb = line.substr(0, blank);
    const std::int32_t id = std::stoi(line.substr(blank + 1));
    if (verb == "start")
        Say("session start " + std::to_string(id) +
            (probe.Host->StartSession(id) ? " ok" : " failed"));
    else if (verb == "end")
        Say("session end " + std::to_string(id) + (probe.Host->EndSession(id) ? " ok" : " failed"));
}

int OnInput(sd_event_source* source, int fd, std::uint32_t, void* userdata) {
    auto& probe = *static_cast<TProbe*>(userdata);
    char buffer[256];
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got <= 0)
        return sd_event_exit(sd_event_source_get_event(source), 0);
    probe.Pending.append(buffer, static_cast<std::size_t>(got));
    for (auto end = probe.Pending.find('\n'); end != std::string::npos;
         end = probe.Pending.find('\n')) {
        Request(probe, probe.Pending.substr(0, end));
        probe.Pending.erase(0, end + 1);
    }
    return 0;
}

} // namespace

int main() {
    SetDebugOutputSink([](std::string_view line, std::string_view group) {
        if (group == "TUSB_ConnectedDevices" || group == "RUVAzerComm" ||
            group == "TFrmMessageCatch")
            Say("log " + std::string(group) + ": " + std::string(line));
    });
    sd_event* loop = nullptr;
    if (sd_event_default(&loop) < 0)
        return 1;
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    sd_event_add_signal(loop, nullptr, SIGTERM, nullptr, nullptr);

    TProbe probe;
    probe.Host = CreateHost();
    if (!StartDeviceChangeMonitor(loop))
        return 2;
    std::int32_t a = -1, b = -1;
    probe.Host->HookupClientApp(aciBase, 1, "probe", "/probe/a", a);
    probe.Host->HookupClientApp(aciBase, 2, "probe", "/probe/b", b);
    probe.Host->SetZEMBHost(a, std::make_shared<TPrintingSink>("A"));
    probe.Host->SetZEMBHost(b, std::make_shared<TPrintingSink>("B"));
    USB_IFHostContainer()->Devices.ForEach([&](TUSB_IFDeviceBase& device) {
        Say("device " + std::to_string(device.DevID) + " " + device.LinkName);
        std::int32_t connectID = -1;
        bool reconnected = false;
        if (probe.Host->ConnectDevice(a, device.DevID, cmShared, std::make_shared<TPrintingEvent>(),
                                      connectID, reconnected))
            Say("connect " + std::to_string(connectID) + " " + std::to_string(device.DevID));
    });
    sd_event_add_io(loop, nullptr, STDIN_FILENO, EPOLLIN, OnInput, &probe);
    Say("ready");
    const int result = sd_event_loop(loop);
    StopDeviceChangeMonitor();
    probe.Host.reset();
    FreeUSB_IFHost();
    sd_event_unref(loop);
    return result < 0 ? 3 : 0;
}
