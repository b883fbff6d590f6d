// SPDX-License-Identifier: MIT
#pragma once

// One zemb-cli client of the ZEMB server: its bus connection, its server object, its callback
// objects and what the commands before remember (the client application, device and
// connection last used). A one-shot command uses a session for one command; `shell` keeps one
// across every line it reads, because the server keeps registrations per client. The commands
// themselves are in the Cli*Commands files; this is what they share.

#include "CliOutput.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>
#include <zemb/ZEMBClient.h>

namespace ZEMBCli {

class TCliHost;
class TCliEvent;
class TOperatorLog;

// This computer's name, as a client application's hook-up gives it.
std::string HostName();

class TCliSession {
public:
    explicit TCliSession(TCliOutput& output);
    ~TCliSession();
    TCliSession(const TCliSession&) = delete;
    TCliSession& operator=(const TCliSession&) = delete;

    // The longest wait for one call, from the next call on.
    void SetCallTimeout(std::chrono::milliseconds timeout);
    std::chrono::milliseconds CallTimeout() const { return CallTimeout_; }
    // The server's bus name, from the next connection on.
    std::string ServerName{ZEMB::BusName};
    // The client application given with --client, used instead of the current one.
    std::optional<std::int32_t> ClientOption;

    // What the commands before used last; -1 for none. An identifier a command is not given
    // is one of these (shell).
    struct TCurrent {
        std::int32_t Client = -1;
        std::int32_t Device = -1;
        std::int32_t Connection = -1;
    };
    const TCurrent& Current() const { return Current_; }
    void UseDevice(std::int32_t devId) { Current_.Device = devId; }
    void UseConnection(std::int32_t connectId) { Current_.Connection = connectId; }

    TCliOutput& Output() { return Output_; }
    // The server object; only after EnsureServer (or Target) succeeded.
    ZEMB::IZEMBServer4& Server() { return *Server_; }
    ZEMB::TZEMBClient& Client() { return *Client_; }
    // The callback of every connection the session makes.
    std::shared_ptr<ZEMB::IZEMBEvent> Event() const;

    // Connects to the bus and creates the server object, once.
    int EnsureServer();
    // The identifier of a command: the one given, else the current one, else a usage error.
    int NeedId(std::optional<std::int32_t> given, std::int32_t current, std::string_view name,
               std::string_view command, std::int32_t& id);
    // NeedId, then EnsureServer: the start of every command on one identifier.
    int Target(std::optional<std::int32_t> given, std::int32_t current, std::string_view name,
               std::string_view command, std::int32_t& id);
    // The client application of a command, with the server reached: --client, the current
    // one, or one hooked up for this session (unhooked again by Finish).
    int ClientFor(std::int32_t& clientAppId);
    // Sets the session's sink on a client application, once.
    int EnsureSink(std::int32_t clientAppId);
    // The outcome of a call: a failure status (exit 3) or Result False (exit 1) is shown as an
    // error on json; Result is set on json otherwise.
    int Check(std::string_view call, ZEMB::HRESULT status, bool result, TJson& json,
              const std::string& what);
    // Makes an enumeration call with the sink collecting the identifiers it reports instead of
    // showing them.
    ZEMB::HRESULT Collect(std::vector<std::int32_t>& ids,
                          const std::function<ZEMB::HRESULT()>& call);
    // The devices of one type (or of every type) that a client application sees.
    int CollectDevices(std::int32_t clientAppId, std::optional<std::uint8_t> devType,
                       std::vector<std::int32_t>& devIds);

    // A client application hooked up on request becomes the current one; one hooked up
    // implicitly before is unhooked.
    void HookedUp(std::int32_t clientAppId);
    // After UnhookClientApp answered with status.
    void Unhooked(std::int32_t clientAppId, ZEMB::HRESULT status);
    // The operator interface's log reader, opened on first use.
    TOperatorLog* OperatorLog(std::string& error);

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
    TCurrent Current_;
    bool ImplicitClient_ = false;
};

} // namespace ZEMBCli
