// SPDX-License-Identifier: MIT
#include "SimServer.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <systemd/sd-bus.h>
#include <unistd.h>

namespace {
using TClock = std::chrono::steady_clock;
constexpr const char* ServerName = "org.zemb.ZEMB";
} // namespace

TSimServer::~TSimServer() {
    Stop();
    sd_bus_slot_unref(LogChanged_);
    sd_bus_flush_close_unref(Bus_);
}

bool TSimServer::Start(const TOptions& options, std::string& why) {
    const std::string config = Folder_.File("config");
    std::filesystem::create_directories(Folder_.File("data"));
    Folder_.Write("devices.ini", options.Devices);
    // Groups shown, so every line says which part of the server wrote it.
    Folder_.Write("config/QUOREN.INI", "[OutputDebugString]\r\nShowAssociatedGroup=1\r\n");
    if (!options.FenwyIni.empty())
        Folder_.Write("config/FENWY.INI", options.FenwyIni);

    // Nothing of the machine's own: no /etc/Zalto.ini, no user data folder.
    const std::map<std::string, std::string> env = {{"ZEMB_CONFIG_DIR", config},
                                                    {"ZEMB_SYSTEM_DIR", config},
                                                    {"XDG_DATA_HOME", Folder_.File("data")}};
    // A copy with a name of its own: the single-instance rule counts every process of the
    // server's file name on the machine, and other test runs must not count.
    const std::string server = Folder_.File("zemb-server-sim-" + std::to_string(getpid()));
    std::filesystem::copy_file(ZEMB_SERVER, server);
    std::filesystem::permissions(server, std::filesystem::perms::owner_all);
    if (!Process_.Start({ZEMB_SIM, "--devices", Folder_.File("devices.ini"), "--control",
                         Folder_.File("control.sock"), "--", server},
                        env)) {
        why = "zemb-sim cannot be started";
        return false;
    }
    if (sd_bus_open_user(&Bus_) < 0) {
        why = "no session bus";
        return false;
    }
    const bool owned = WaitForOwner(ServerName, true, std::chrono::seconds(20));
    if (!owned)
        why = Process_.Running() ? "the server did not take its name in time"
                                 : "the server ended before it owned its name";
    sd_bus_match_signal(
        Bus_, &LogChanged_, nullptr, "/org/zemb/ZEMB", "org.zemb.ZEMB.Operator",
        "CommunicationLogChanged",
        [](sd_bus_message*, void* self, sd_bus_error*) {
            ++static_cast<TSimServer*>(self)->LogChanges_;
            return 0;
        },
        this);
    std::optional<std::string> line;
    while (!owned && (line = Process_.ReadLine(std::chrono::milliseconds(0))))
        why += "\n  " + *line;
    return owned;
}

bool TSimServer::WaitForNameGone(const std::string& name, std::chrono::milliseconds bound) {
    return Bus_ && WaitForOwner(name, false, bound);
}

bool TSimServer::WaitForOwner(const std::string& name, bool owned,
                              std::chrono::milliseconds bound) {
    // The owner change wakes the wait below; the name is checked after every wake.
    sd_bus_slot* match = nullptr;
    sd_bus_match_signal(Bus_, &match, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                        "org.freedesktop.DBus", "NameOwnerChanged", nullptr, nullptr);
    const auto deadline = TClock::now() + bound;
    bool reached = false;
    for (;;) {
        int has = !owned;
        sd_bus_message* reply = nullptr;
        if (sd_bus_call_method(Bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "NameHasOwner", nullptr, &reply, "s",
                               name.c_str()) >= 0)
            sd_bus_message_read(reply, "b", &has);
        sd_bus_message_unref(reply);
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - TClock::now());
        // A server that ended will not take its name.
        if ((reached = bool(has) == owned) || left.count() <= 0 || (owned && !Process_.Running()))
            break;
        while (sd_bus_process(Bus_, nullptr) > 0) {
        }
        // At most a tenth of a second, so a server that dies silently is noticed.
        sd_bus_wait(Bus_, std::min<std::uint64_t>(left.count(), 100'000));
    }
    sd_bus_slot_unref(match);
    return reached;
}

int TSimServer::Stop() {
    if (!Process_.Running())
        return -1;
    Process_.Signal(SIGTERM);
    const int status = Process_.WaitForExit(std::chrono::seconds(10));
    if (status < 0)
        Process_.Signal(SIGKILL);
    return status;
}

std::vector<std::string> TSimServer::TakeDebugLines() {
    std::vector<std::string> lines;
    while (auto line = Process_.ReadLine(std::chrono::milliseconds(0)))
        lines.push_back(std::move(*line));
    return lines;
}

std::vector<std::string> TSimServer::TakeServerTraces() {
    std::vector<std::string> traces;
    for (std::string& line : TakeDebugLines())
        for (const char* group :
             {"[RUVAzerComm3] ", "[RUVAzerCommTraffic] ", "[RUVAzer Comm] ", "[] "})
            if (line.rfind(group, 0) == 0) {
                traces.push_back(std::move(line));
                break;
            }
    return traces;
}

bool TSimServer::CommunicationLog(std::vector<std::string>& lines) {
    lines.clear();
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    char** strv = nullptr;
    const bool ok = sd_bus_call_method(Bus_, ServerName, "/org/zemb/ZEMB", "org.zemb.ZEMB.Operator",
                                       "GetCommunicationLog", &error, &reply, "") >= 0 &&
                    sd_bus_message_read_strv(reply, &strv) >= 0;
    for (char** s = strv; s && *s; ++s) {
        lines.emplace_back(*s);
        std::free(*s);
    }
    std::free(strv);
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    return ok;
}

std::vector<std::string> TSimServer::CommunicationLog() {
    std::vector<std::string> lines;
    if (!CommunicationLog(lines))
        lines = {"<the operator interface did not answer>"};
    return lines;
}

std::vector<std::string> TSimServer::CommunicationLogFrom(std::size_t from) {
    std::vector<std::string> lines = CommunicationLog();
    if (from >= lines.size())
        return {};
    return {lines.begin() + static_cast<std::ptrdiff_t>(from), lines.end()};
}

bool TSimServer::ClearCommunicationLog() {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    const int r = sd_bus_call_method(Bus_, ServerName, "/org/zemb/ZEMB", "org.zemb.ZEMB.Operator",
                                     "ClearCommunicationLog", &error, nullptr, "");
    sd_bus_error_free(&error);
    return r >= 0;
}

int TSimServer::LogChangeSignals(int atLeast, std::chrono::milliseconds bound) {
    const auto deadline = TClock::now() + bound;
    for (;;) {
        while (sd_bus_process(Bus_, nullptr) > 0) {
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - TClock::now());
        if (LogChanges_ >= atLeast || left.count() <= 0)
            return LogChanges_;
        sd_bus_wait(Bus_, static_cast<std::uint64_t>(left.count()));
    }
}

bool TSimServer::Control(const std::vector<std::string>& request) {
    std::vector<std::string> args = {ZEMB_SIM, "ctl", "--control", Folder_.File("control.sock")};
    args.insert(args.end(), request.begin(), request.end());
    return RunProgram(args).Status == 0;
}
