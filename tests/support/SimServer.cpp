// SPDX-License-Identifier: MIT
#include "SimServer.h"

#include <algorithm>
#include <array>
#include <csignal>
#include <filesystem>
#include <unistd.h>

bool StartSimulatedServer(TProcess& process, const TSimCommand& command, TZEMBBus& bus,
                          std::string& why) {
    std::vector<std::string> argv = {ZEMB_SIM,    "--devices",           command.DevicesFile,
                                     "--control", command.ControlSocket, "--"};
    argv.insert(argv.end(), command.Server.begin(), command.Server.end());
    if (!process.Start(argv, command.Env)) {
        why = "zemb-sim cannot be started";
        return false;
    }
    // Until the server owns its name, or it ended first.
    const std::string name(ZEMB::BusName);
    if (WaitUntil([&] { return !process.Running() || bus.NameHasOwner(name); }, StartBound) &&
        process.Running())
        return true;
    why = process.Running() ? "the server did not take its name in time"
                            : "the server ended before it owned its name";
    while (auto line = process.ReadLine(0ms))
        why += "\n  " + *line;
    return false;
}

TSimServer::~TSimServer() {
    Stop();
}

bool TSimServer::Start(const TOptions& options, std::string& why) {
    const std::string config = Folder_.File("config"), data = Folder_.File("data");
    std::filesystem::create_directories(data);
    Folder_.Write("devices.ini", options.Devices);
    // Groups shown, so every line says which part of the server wrote it.
    Folder_.Write("config/QUOREN.INI", "[OutputDebugString]\r\nShowAssociatedGroup=1\r\n");
    if (!options.FenwyIni.empty())
        Folder_.Write("config/FENWY.INI", options.FenwyIni);
    if (!(Bus_ = TZEMBBus::OpenSession(why)))
        return false;
    // Nothing of the machine's own: no /etc/Zalto.ini, no user data folder.
    // clang-format off
    return StartSimulatedServer(Process_, {Folder_.File("devices.ini"),
        Folder_.File("control.sock"), {ZEMB_SERVER}, {{"ZEMB_CONFIG_DIR", config},
        {"ZEMB_SYSTEM_DIR", config}, {"XDG_DATA_HOME", data}}}, *Bus_, why);
    // clang-format on
}

int TSimServer::Stop() {
    if (!Process_.Running())
        return -1;
    Process_.Signal(SIGTERM);
    const int status = Process_.WaitForExit(EndBound);
    if (status < 0)
        Process_.Signal(SIGKILL);
    return status;
}

std::vector<std::string> TSimServer::TakeDebugLines() {
    std::vector<std::string> lines;
    while (auto line = Process_.ReadLine(0ms))
        lines.push_back(std::move(*line));
    return lines;
}

std::vector<std::string> TSimServer::TakeServerTraces(std::size_t expected) {
    // The server writes a turn's lines after the turn's replies: the first `expected` are
    // waited for, what else has come is taken too.
    std::vector<std::string> traces;
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (auto line = Process_.ReadLine(
               traces.size() < expected ? std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::max(until - std::chrono::steady_clock::now(),
                                                       std::chrono::steady_clock::duration::zero()))
                                        : 0ms)) {
        if (std::ranges::any_of(
                std::array{"[RUVAzerComm3] ", "[RUVAzerCommTraffic] ", "[RUVAzer Comm] ", "[] "},
                [&](const char* group) { return line->starts_with(group); }))
            traces.push_back(std::move(*line));
    }
    return traces;
}

bool TSimServer::CallOperator(TBusMessage& call, TBusMessage& reply) {
    TBusError error;
    return Bus_->CallBlocking(call, 10s, reply, error) >= 0;
}

std::vector<std::string> TSimServer::CommunicationLog() {
    std::vector<std::string> lines;
    TBusMessage reply;
    if (!CallOperator(ZEMB::GetCommunicationLogMethod, reply) || !ZEMB::ReadArgs(reply, lines))
        lines = {"<the operator interface did not answer>"};
    return lines;
}

bool TSimServer::ClearCommunicationLog() {
    TBusMessage reply;
    return CallOperator(ZEMB::ClearCommunicationLogMethod, reply);
}

bool TSimServer::Control(const std::vector<std::string>& request) {
    std::vector<std::string> args = {ZEMB_SIM, "ctl", "--control", Folder_.File("control.sock")};
    args.insert(args.end(), request.begin(), request.end());
    return RunProgram(args).Status == 0;
}
