// SPDX-License-Identifier: MIT
#pragma once

// One zemb-cli client of the ZEMB server: its bus connection, its server object, its callback
// objects and what the commands before remember (the client application, device and
// connection last used). A one-shot command uses a session for one command; `shell` keeps one
// across every line it reads, because the server keeps registrations per client.

#include "CliFormat.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <signal.h>
#include <string>
#include <string_view>
#include <vector>
#include <zemb/ZEMBClient.h>

namespace ZEMBCli {

// Exit codes of zemb-cli and of each shell command.
enum TExitCode : int {
    ecOk = 0,
    ecNotOk = 1,       // the server answered the call with Result False
    ecUsage = 2,       // the command line (or shell line) was not understood
    ecUnreachable = 3, // no bus, no server, or the call failed with a failure status
};

// Blocks SIGINT, SIGTERM and SIGHUP for the life of the object and offers them as a readable
// descriptor (signalfd), so that a poll loop sees them; the old mask comes back at the end.
class TSignalFd {
public:
    TSignalFd();
    ~TSignalFd();
    TSignalFd(const TSignalFd&) = delete;
    TSignalFd& operator=(const TSignalFd&) = delete;
    int Fd() const { return Fd_; }
    // Reads a pending signal; 0 when none.
    int Take();

private:
    int Fd_ = -1;
    sigset_t Old_{};
};

class TCliHost;
class TCliEvent;
class TOperatorLog;

// Where answers and callbacks go: text for people or one JSON object per line.
class TCliOutput {
public:
    TCliOutput(std::FILE* out, std::FILE* err) : Out_(out), Err_(err) {}
    bool Json = false;

    // A successful answer: its text lines, or its JSON object.
    void Answer(const TJson& json, const std::vector<std::string>& lines);
    // A failure: "zemb-cli: text" on the error stream, or the JSON object with "error" set.
    void Error(TJson json, const std::string& text);
    // A callback as it arrives.
    void Callback(std::string_view name, std::string_view idName, std::int32_t id);

private:
    std::FILE* Out_;
    std::FILE* Err_;
};

struct TDeviceRecord {
    std::int32_t DevID = -1;
    bool Active = false;
    std::string LinkName, FriendlyName, SerialNumber, VidPid, GUID_, UserDeviceName;
    std::uint8_t DevType = 0, DriverType = 0, App_ID_Hardware_Revision = 0;
    std::int32_t Firmware = 0;
    std::uint16_t Meas_App_FPGA_Rev = 0;
};

struct TConnectionRecord {
    std::int32_t ConnectID = -1, DevID = -1, ClientAppID = -1;
    bool Connected = false, Active = false;
    std::uint8_t Mode = 0;
};

struct TClientRecord {
    std::int32_t ClientAppID = -1;
    std::uint8_t ClientAppType = 0;
    std::string ComputerName, ExeName;
};

class TCliSession {
public:
    explicit TCliSession(TCliOutput& output);
    ~TCliSession();
    TCliSession(const TCliSession&) = delete;
    TCliSession& operator=(const TCliSession&) = delete;

    // The longest wait for one call, from the next call on.
    void SetCallTimeout(std::chrono::milliseconds timeout);
    // The server's bus name, from the next connection on.
    std::string ServerName{ZEMB::BusName};
    // The client application given with --client, used instead of the current one.
    std::optional<std::int32_t> ClientOption;

    TCliOutput& Output() { return Output_; }

    // The commands. Each prints its answer and returns its exit code. An identifier that is
    // not given is the one the session used last (shell); none at all is a usage error.
    int Hookup(std::uint8_t type, std::optional<std::int32_t> processId,
               const std::string& computer, const std::string& exe, bool firstVersion);
    int Unhook(std::optional<std::int32_t> clientAppId);
    int Devices(std::optional<std::uint8_t> devType);
    int Info(std::optional<std::int32_t> devId);
    int First(std::uint8_t devType, std::uint8_t mode);
    int Connect(std::optional<std::int32_t> devId, std::uint8_t mode);
    int Open(std::optional<std::int32_t> connectId);
    int Close(std::optional<std::int32_t> connectId);
    int Disconnect(std::optional<std::int32_t> connectId);
    int Write(std::optional<std::int32_t> connectId, const std::vector<std::uint8_t>& data);
    int Read(std::optional<std::int32_t> connectId, std::uint32_t count);
    int Stats(std::optional<std::int32_t> connectId);
    int ConnInfo(std::optional<std::int32_t> connectId);
    int ClientInfo(std::optional<std::int32_t> clientAppId);
    int Session(bool start, std::optional<std::int32_t> connectId);
    int BufferSize(std::optional<std::int32_t> devId);
    int Tree();
    // Serves callbacks until one of the signals arrives (null: none) or the time is up
    // (zero: no limit). With connectAll, first connects in shared mode to every device, so
    // that their Disconnected and Reconnected arrive too; those connections end with it.
    int Monitor(TSignalFd* signals, std::chrono::milliseconds duration, bool connectAll);
    // The communication log through the operator interface: shown, cleared, or shown and then
    // followed (each change shows the lines from the first one that changed) until a signal
    // or the time is up.
    int Log(bool clear, bool follow, TSignalFd* signals, std::chrono::milliseconds duration);

    // Serves waiting callbacks without blocking (the shell between lines). False when the
    // connection to the bus is lost.
    bool ProcessEvents();
    // The bus connection's descriptor and poll events; -1 before the first connection.
    int Fd() const;
    short Events() const;
    int TimeoutMs() const;

    // Ends what the session started on its own: its sink is taken off every client it was set
    // on, and the client application it hooked up without being asked is unhooked. Returns the
    // exit code of that clean-up.
    int Finish();

private:
    int EnsureServer();
    // The client application of a command: --client, the current one, or one hooked up for
    // this session (unhooked again by Finish).
    int ClientFor(std::int32_t& clientAppId);
    int EnsureSink(std::int32_t clientAppId);
    int Check(std::string_view call, ZEMB::HRESULT status, bool result, TJson& json,
              const std::string& what);
    int NeedId(std::optional<std::int32_t> given, std::int32_t current, std::string_view name,
               std::string_view command, std::int32_t& id);
    // NeedId, then EnsureServer: the start of every command on one identifier.
    int Target(std::optional<std::int32_t> given, std::int32_t current, std::string_view name,
               std::string_view command, std::int32_t& id);
    int CollectDevices(std::int32_t clientAppId, std::optional<std::uint8_t> devType,
                       std::vector<std::int32_t>& devIds);
    int LoadDevice(std::int32_t devId, TDeviceRecord& record, bool quiet);
    int ResultCall(std::string_view command, std::string_view call, std::int32_t connectId,
                   ZEMB::HRESULT (ZEMB::IZEMBServer4::*method)(std::int32_t, bool&));
    // A failed clean-up call of Finish, on the error output.
    void CleanupFailed(std::string_view call, std::int32_t clientAppId, std::string_view why,
                       ZEMB::HRESULT status);

    // Forgets the server object and what the server kept for it, after the server went away:
    // the next command reaches a new server (the bus may start one).
    void ForgetServer();

    TCliOutput& Output_;
    std::chrono::milliseconds CallTimeout_ = ZEMB::DefaultCallTimeout;
    std::unique_ptr<ZEMB::TZEMBClient> Client_;
    std::unique_ptr<TOperatorLog> OperatorLog_;
    std::shared_ptr<ZEMB::IZEMBServer4> Server_;
    std::shared_ptr<TCliHost> Sink_;
    std::shared_ptr<TCliEvent> Event_;
    std::vector<std::int32_t> SinkSetFor_;
    std::int32_t CurrentClient_ = -1;
    bool ImplicitClient_ = false;
    std::int32_t CurrentDevice_ = -1;
    std::int32_t CurrentConnection_ = -1;
};

} // namespace ZEMBCli
