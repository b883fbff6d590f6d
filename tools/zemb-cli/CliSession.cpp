// SPDX-License-Identifier: MIT
#include "CliSession.h"

#include "CliOperatorLog.h"

#include <algorithm>
#include <cstdio>
#include <unistd.h>

using namespace ZEMB;

namespace ZEMBCli {

namespace {

std::string Hex(HRESULT status) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(status));
    return hex;
}

std::string StatusText(HRESULT status) {
    std::string text = "status " + Hex(status);
    switch (status) {
    case RPC_E_TIMEOUT:
        return text + " (the server did not answer in time)";
    case RPC_E_DISCONNECTED:
        return text + " (the server has gone away)";
    case E_NOINTERFACE:
        return text + " (the server object does not offer this call)";
    case REGDB_E_CLASSNOTREG:
        return text + " (no such server class)";
    case E_UNEXPECTED:
        return text + " (unexpected failure in the server)";
    default:
        return text;
    }
}

} // namespace

std::string HostName() {
    char name[256] = "";
    if (gethostname(name, sizeof name - 1) != 0)
        return "localhost";
    name[sizeof name - 1] = '\0';
    return name;
}

// The client's IZEMBHost: during an enumeration it collects the identifiers; every other
// callback is shown as it arrives.
class TCliHost final : public IZEMBHost {
public:
    explicit TCliHost(TCliOutput& output) : Output_(output) {}
    std::vector<std::int32_t>* Collect = nullptr;

    HRESULT EnumDevice(std::int32_t DevID, bool& Result) override {
        return Report("EnumDevice", "DevID", DevID, Result);
    }
    HRESULT EnumConnection(std::int32_t ConnectID, bool& Result) override {
        return Report("EnumConnection", "ConnectID", ConnectID, Result);
    }
    HRESULT EnumApplication(std::int32_t ClientAppID, bool& Result) override {
        return Report("EnumApplication", "ClientAppID", ClientAppID, Result);
    }
    HRESULT DeviceAdded(std::int32_t DevID, bool& Result) override {
        Output_.Callback("DeviceAdded", "DevID", DevID);
        Result = true;
        return S_OK;
    }
    HRESULT DeviceRemoved(std::int32_t DevID, bool& Result) override {
        Output_.Callback("DeviceRemoved", "DevID", DevID);
        Result = true;
        return S_OK;
    }

private:
    HRESULT Report(std::string_view name, std::string_view idName, std::int32_t id, bool& Result) {
        if (Collect)
            Collect->push_back(id);
        else
            Output_.Callback(name, idName, id);
        Result = true;
        return S_OK;
    }
    TCliOutput& Output_;
};

class TCliEvent final : public IZEMBEvent {
public:
    explicit TCliEvent(TCliOutput& output) : Output_(output) {}
    HRESULT Disconnected(std::int32_t ConnectID) override {
        Output_.Callback("Disconnected", "ConnectID", ConnectID);
        return S_OK;
    }
    HRESULT Reconnected(std::int32_t ConnectID) override {
        Output_.Callback("Reconnected", "ConnectID", ConnectID);
        return S_OK;
    }

private:
    TCliOutput& Output_;
};

TCliSession::TCliSession(TCliOutput& output)
    : Output_(output), Sink_(std::make_shared<TCliHost>(output)),
      Event_(std::make_shared<TCliEvent>(output)) {}

TCliSession::~TCliSession() {
    if (Server_)
        ZEMB::ReleaseObject(Server_);
}

std::shared_ptr<IZEMBEvent> TCliSession::Event() const {
    return Event_;
}

int TCliSession::EnsureServer() {
    if (Server_)
        return ecOk;
    TJson json = CallJson("connect-to-server", "CreateInstance");
    if (!Client_) {
        std::string error;
        Client_ = ZEMB::TZEMBClient::Connect(&error);
        if (!Client_) {
            Output_.Error(std::move(json), "cannot connect to the session bus: " + error);
            return ecUnreachable;
        }
        Client_->SetCallTimeout(CallTimeout_);
        Client_->SetServerName(ServerName);
    }
    HRESULT status = S_OK;
    Server_ = Client_->CreateInstance(CLASS_ZEMBServer4, &status);
    if (!Server_) {
        json.Set("status", Hex(status));
        Output_.Error(std::move(json), "cannot create a ZEMBServer4 object at " + ServerName +
                                           ": " + StatusText(status) +
                                           " (is zemb-server running or registered?)");
        return ecUnreachable;
    }
    return ecOk;
}

void TCliSession::SetCallTimeout(std::chrono::milliseconds timeout) {
    CallTimeout_ = timeout;
    if (Client_)
        Client_->SetCallTimeout(timeout);
}

void TCliSession::ForgetServer() {
    // The object is gone with its server: nothing to release.
    Server_.reset();
    SinkSetFor_.clear();
    Current_ = {};
    ImplicitClient_ = false;
}

int TCliSession::Check(std::string_view call, HRESULT status, bool result, TJson& json,
                       const std::string& what) {
    if (FAILED(status)) {
        json.Set("status", Hex(status));
        Output_.Error(json, std::string(call) + what + " failed: " + StatusText(status));
        if (status == RPC_E_DISCONNECTED)
            ForgetServer();
        return ecUnreachable;
    }
    json.Set("Result", result);
    if (!result) {
        Output_.Error(json, std::string(call) + what + ": not ok");
        return ecNotOk;
    }
    return ecOk;
}

int TCliSession::NeedId(std::optional<std::int32_t> given, std::int32_t current,
                        std::string_view name, std::string_view command, std::int32_t& id) {
    if (given) {
        id = *given;
        return ecOk;
    }
    if (current >= 0) {
        id = current;
        return ecOk;
    }
    TJson json = TJson::Object();
    json.Set("command", command);
    Output_.Error(std::move(json),
                  std::string(command) + ": no " + std::string(name) + " given and none used yet");
    return ecUsage;
}

int TCliSession::Target(std::optional<std::int32_t> given, std::int32_t current,
                        std::string_view name, std::string_view command, std::int32_t& id) {
    if (int code = NeedId(given, current, name, command, id))
        return code;
    return EnsureServer();
}

int TCliSession::ClientFor(std::int32_t& clientAppId) {
    if (int code = EnsureServer())
        return code;
    if (ClientOption) {
        clientAppId = *ClientOption;
        return ecOk;
    }
    if (Current_.Client >= 0) {
        clientAppId = Current_.Client;
        return ecOk;
    }
    TJson json = CallJson("hookup", "HookupClientApp2");
    bool result = false;
    std::int32_t id = -1;
    HRESULT status = Server_->HookupClientApp2(ZEMB::aciBase, static_cast<std::int32_t>(getpid()),
                                               HostName(), "zemb-cli", id, result);
    if (int code = Check("HookupClientApp2", status, result, json, " (implicit hook-up)"))
        return code;
    Current_.Client = id;
    ImplicitClient_ = true;
    clientAppId = id;
    return ecOk;
}

int TCliSession::EnsureSink(std::int32_t clientAppId) {
    if (std::ranges::find(SinkSetFor_, clientAppId) != SinkSetFor_.end())
        return ecOk;
    TJson json = CallJson("sink", "SetZEMBHost2");
    json.Set("ClientAppID", clientAppId);
    bool result = false;
    HRESULT status = Server_->SetZEMBHost2(clientAppId, Sink_, result);
    if (int code = Check("SetZEMBHost2", status, result, json,
                         " (ClientAppID " + std::to_string(clientAppId) + ")"))
        return code;
    SinkSetFor_.push_back(clientAppId);
    return ecOk;
}

HRESULT TCliSession::Collect(std::vector<std::int32_t>& ids, const std::function<HRESULT()>& call) {
    Sink_->Collect = &ids;
    HRESULT status = call();
    Sink_->Collect = nullptr;
    return status;
}

int TCliSession::CollectDevices(std::int32_t clientAppId, std::optional<std::uint8_t> devType,
                                std::vector<std::int32_t>& devIds) {
    if (int code = EnsureSink(clientAppId))
        return code;
    std::vector<std::uint8_t> types;
    if (devType)
        types.push_back(*devType);
    else
        types = {ZEMB::dtNotRecognized, ZEMB::dtBrisk, ZEMB::dtMirel, ZEMB::dtFenwy, ZEMB::dtCorra};
    for (std::uint8_t type : types) {
        const std::string typeName = ToText(TUSBDevType{type});
        TJson json = CallJson("devices", "EnumDevices2");
        json.Set("DevType", typeName);
        bool result = false;
        HRESULT status =
            Collect(devIds, [&] { return Server_->EnumDevices2(clientAppId, type, result); });
        if (int code =
                Check("EnumDevices2", status, result, json,
                      " (ClientAppID " + std::to_string(clientAppId) + ", " + typeName + ")"))
            return code;
    }
    return ecOk;
}

void TCliSession::HookedUp(std::int32_t clientAppId) {
    // A client hooked up on request stays after the session ends: that is what it is for.
    if (ImplicitClient_ && Current_.Client != clientAppId)
        Finish();
    Current_.Client = clientAppId;
    ImplicitClient_ = false;
}

void TCliSession::Unhooked(std::int32_t clientAppId, HRESULT status) {
    if (clientAppId == Current_.Client && SUCCEEDED(status)) {
        Current_.Client = -1;
        ImplicitClient_ = false;
    }
    std::erase(SinkSetFor_, clientAppId);
}

TOperatorLog* TCliSession::OperatorLog(std::string& error) {
    if (!OperatorLog_) {
        auto log = std::make_unique<TOperatorLog>();
        if (!log->Open(ServerName, error))
            return nullptr;
        OperatorLog_ = std::move(log);
    }
    return OperatorLog_.get();
}

bool TCliSession::ProcessEvents() {
    return !Client_ || Client_->ProcessEvents();
}

int TCliSession::Fd() const {
    return Client_ ? Client_->Fd() : -1;
}

short TCliSession::Events() const {
    return Client_ ? Client_->Events() : 0;
}

int TCliSession::TimeoutMs() const {
    return Client_ ? Client_->TimeoutMs() : -1;
}

int TCliSession::Finish() {
    if (!Server_)
        return ecOk;
    int code = ecOk;
    // The server tells every sink of a device change in turn and stops at the first that
    // fails: a sink of this process left on a client would keep the clients after it from
    // being told once this process has ended.
    const std::int32_t implicit = ImplicitClient_ ? Current_.Client : -1;
    for (std::int32_t id : std::vector<std::int32_t>(SinkSetFor_)) {
        if (id == implicit)
            continue;
        bool result = false;
        HRESULT status = Server_->SetZEMBHost2(id, nullptr, result);
        if (FAILED(status)) {
            CleanupFailed("SetZEMBHost2", id, "clearing this client's sink", status);
            code = ecUnreachable;
        }
    }
    SinkSetFor_.clear();
    if (implicit < 0)
        return code;
    Current_.Client = -1;
    ImplicitClient_ = false;
    bool result = false;
    HRESULT status = Server_->UnhookClientApp(implicit, result);
    if (FAILED(status)) {
        CleanupFailed("UnhookClientApp", implicit, "implicit hook-up", status);
        return ecUnreachable;
    }
    return code;
}

void TCliSession::CleanupFailed(std::string_view call, std::int32_t clientAppId,
                                std::string_view why, HRESULT status) {
    TJson json = CallJson("finish", call);
    json.Set("ClientAppID", clientAppId);
    json.Set("status", Hex(status));
    Output_.Error(std::move(json), std::string(call) + " (ClientAppID " +
                                       std::to_string(clientAppId) + ", " + std::string(why) +
                                       ") failed: " + StatusText(status));
}

} // namespace ZEMBCli
