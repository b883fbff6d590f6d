// SPDX-License-Identifier: MIT
#include "CliSession.h"

#include "CliOperatorLog.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

using namespace ZEMB;

namespace ZEMBCli {

namespace {

// The largest read a command may ask for; a link device's buffer is a few kilobytes.
constexpr std::uint32_t MaxReadCount = 65536;

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

const char* TrueFalse(bool value) {
    return value ? "True" : "False";
}

std::string HostName() {
    char name[256] = "";
    if (gethostname(name, sizeof name - 1) != 0)
        return "localhost";
    name[sizeof name - 1] = '\0';
    return name;
}

TJson CallJson(std::string_view command, std::string_view call) {
    TJson json = TJson::Object();
    json.Set("command", command);
    json.Set("call", call);
    return json;
}

// Serves a bus connection (its Fd, Events and TimeoutMs) until one of the signals arrives
// (null: none), the time is up (zero: no limit) or poll fails: true then. False as soon as
// serve, called whenever the connection may have work, returns false (it has said why).
template <class TSource, class TServe>
bool ServeUntil(TSource& source, TSignalFd* signals, std::chrono::milliseconds duration,
                TServe serve) {
    const auto until = std::chrono::steady_clock::now() + duration;
    const int signalFd = signals ? signals->Fd() : -1;
    for (;;) {
        int timeout = source.TimeoutMs();
        if (duration.count() > 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            until - std::chrono::steady_clock::now())
                            .count();
            if (left <= 0)
                return true;
            if (timeout < 0 || timeout > left)
                timeout = static_cast<int>(left);
        }
        pollfd fds[2] = {{source.Fd(), source.Events(), 0}, {signalFd, POLLIN, 0}};
        int ready = poll(fds, signalFd >= 0 ? 2 : 1, timeout);
        if (ready < 0 && errno != EINTR)
            return true;
        if (signalFd >= 0 && (fds[1].revents & POLLIN)) {
            signals->Take();
            return true;
        }
        if (!serve())
            return false;
    }
}

// The server's ConnectInfo and ClientAppInfo into the records of c.ConnectID and
// c.ClientAppID.
HRESULT LoadConnection(IZEMBServer4& server, TConnectionRecord& c, bool& result) {
    return server.ConnectInfo(c.ConnectID, c.DevID, c.ClientAppID, c.Connected, c.Active, c.Mode,
                              result);
}

HRESULT LoadClient(IZEMBServer4& server, TClientRecord& c, bool& result) {
    return server.ClientAppInfo(c.ClientAppID, c.ClientAppType, c.ComputerName, c.ExeName, result);
}

void SetClientFields(TJson& json, const TClientRecord& c) {
    json.Set("ClientAppType", ClientAppTypeName(c.ClientAppType));
    json.Set("ClientAppComputerName", c.ComputerName);
    json.Set("ClientAppExeName", c.ExeName);
}

} // namespace

void TCliOutput::Answer(const TJson& json, const std::vector<std::string>& lines) {
    if (Json) {
        std::fprintf(Out_, "%s\n", json.Text().c_str());
    } else {
        for (const std::string& line : lines)
            std::fprintf(Out_, "%s\n", line.c_str());
    }
    std::fflush(Out_);
}

void TCliOutput::Error(TJson json, const std::string& text) {
    if (Json) {
        json.Set("error", text);
        std::fprintf(Out_, "%s\n", json.Text().c_str());
        std::fflush(Out_);
    } else {
        std::fprintf(Err_, "zemb-cli: %s\n", text.c_str());
        std::fflush(Err_);
    }
}

void TCliOutput::Callback(std::string_view name, std::string_view idName, std::int32_t id) {
    if (Json) {
        TJson json = TJson::Object();
        json.Set("callback", name);
        json.Set(std::string(idName), id);
        std::fprintf(Out_, "%s\n", json.Text().c_str());
    } else {
        std::fprintf(Out_, "%.*s %.*s %d\n", static_cast<int>(name.size()), name.data(),
                     static_cast<int>(idName.size()), idName.data(), id);
    }
    std::fflush(Out_);
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

// The callback of every connection the session makes.
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
    CurrentClient_ = -1;
    ImplicitClient_ = false;
    CurrentDevice_ = -1;
    CurrentConnection_ = -1;
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
    if (ClientOption) {
        clientAppId = *ClientOption;
        return ecOk;
    }
    if (CurrentClient_ >= 0) {
        clientAppId = CurrentClient_;
        return ecOk;
    }
    if (int code = EnsureServer())
        return code;
    TJson json = CallJson("hookup", "HookupClientApp2");
    bool result = false;
    std::int32_t id = -1;
    HRESULT status = Server_->HookupClientApp2(ZEMB::aciBase, static_cast<std::int32_t>(getpid()),
                                               HostName(), "zemb-cli", id, result);
    if (int code = Check("HookupClientApp2", status, result, json, " (implicit hook-up)"))
        return code;
    CurrentClient_ = id;
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

int TCliSession::Hookup(std::uint8_t type, std::optional<std::int32_t> processId,
                        const std::string& computer, const std::string& exe, bool firstVersion) {
    if (int code = EnsureServer())
        return code;
    TJson json = CallJson("hookup", firstVersion ? "HookupClientApp" : "HookupClientApp2");
    bool result = false;
    std::int32_t id = -1;
    const std::string host = computer.empty() ? HostName() : computer;
    HRESULT status = firstVersion
                         ? Server_->HookupClientApp(type, host, exe, id, result)
                         : Server_->HookupClientApp2(
                               type, processId.value_or(static_cast<std::int32_t>(getpid())), host,
                               exe, id, result);
    if (int code =
            Check(firstVersion ? "HookupClientApp" : "HookupClientApp2", status, result, json, ""))
        return code;
    json.Set("ClientAppID", id);
    // A client hooked up on request stays after the session ends: that is what it is for.
    if (ImplicitClient_ && CurrentClient_ != id)
        Finish();
    CurrentClient_ = id;
    ImplicitClient_ = false;
    Output_.Answer(json, {"ClientAppID: " + std::to_string(id)});
    return ecOk;
}

int TCliSession::Unhook(std::optional<std::int32_t> clientAppId) {
    std::int32_t id = -1;
    if (int code = Target(clientAppId ? clientAppId : ClientOption, CurrentClient_, "ClientAppID",
                          "unhook", id))
        return code;
    TJson json = CallJson("unhook", "UnhookClientApp");
    json.Set("ClientAppID", id);
    bool result = false;
    HRESULT status = Server_->UnhookClientApp(id, result);
    if (id == CurrentClient_ && SUCCEEDED(status)) {
        CurrentClient_ = -1;
        ImplicitClient_ = false;
    }
    std::erase(SinkSetFor_, id);
    if (int code = Check("UnhookClientApp", status, result, json,
                         " (ClientAppID " + std::to_string(id) + ")"))
        return code;
    Output_.Answer(json, {"UnhookClientApp (ClientAppID " + std::to_string(id) + "): ok"});
    return ecOk;
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
        TJson json = CallJson("devices", "EnumDevices2");
        json.Set("DevType", DevTypeName(type));
        bool result = false;
        Sink_->Collect = &devIds;
        HRESULT status = Server_->EnumDevices2(clientAppId, type, result);
        Sink_->Collect = nullptr;
        if (int code = Check("EnumDevices2", status, result, json,
                             " (ClientAppID " + std::to_string(clientAppId) + ", " +
                                 DevTypeName(type) + ")"))
            return code;
    }
    return ecOk;
}

int TCliSession::LoadDevice(std::int32_t devId, TDeviceRecord& r, bool quiet) {
    bool result = false;
    std::uint8_t mode = 0;
    r.DevID = devId;
    HRESULT status =
        Server_->DevInfo(devId, r.Active, mode, r.LinkName, r.FriendlyName, r.SerialNumber,
                         r.VidPid, r.GUID_, r.UserDeviceName, r.DevType, r.DriverType, r.Firmware,
                         r.App_ID_Hardware_Revision, r.Meas_App_FPGA_Rev, result);
    if (quiet && SUCCEEDED(status))
        return result ? ecOk : ecNotOk;
    TJson json = CallJson("info", "DevInfo");
    json.Set("DevID", devId);
    return Check("DevInfo", status, result, json, " (DevID " + std::to_string(devId) + ")");
}

namespace {

TJson DeviceJson(const TDeviceRecord& r) {
    TJson json = TJson::Object();
    json.Set("DevID", r.DevID);
    json.Set("Active", r.Active);
    json.Set("LinkName", r.LinkName);
    json.Set("FriendlyName", r.FriendlyName);
    json.Set("SerialNumber", r.SerialNumber);
    json.Set("VidPid", r.VidPid);
    json.Set("GUID_", r.GUID_);
    json.Set("UserDeviceName", r.UserDeviceName);
    json.Set("DevType", DevTypeName(r.DevType));
    json.Set("DriverType", DriverName(r.DriverType));
    json.Set("Firmware", FirmwareText(static_cast<std::uint32_t>(r.Firmware)));
    json.Set("App_ID_Hardware_Revision", static_cast<std::int32_t>(r.App_ID_Hardware_Revision));
    json.Set("Meas_App_FPGA_Rev", static_cast<std::int32_t>(r.Meas_App_FPGA_Rev));
    return json;
}

std::string DeviceLine(const TDeviceRecord& r) {
    return "DevID: " + std::to_string(r.DevID) + "  " + DevTypeName(r.DevType) + "  " +
           DriverName(r.DriverType) +
           "  Firmware: " + FirmwareText(static_cast<std::uint32_t>(r.Firmware)) +
           "  SerialNumber: " + r.SerialNumber + "  FriendlyName: " + r.FriendlyName +
           (r.Active ? "" : "  (not active)");
}

} // namespace

int TCliSession::Devices(std::optional<std::uint8_t> devType) {
    if (int code = EnsureServer())
        return code;
    std::int32_t client = -1;
    if (int code = ClientFor(client))
        return code;
    std::vector<std::int32_t> ids;
    if (int code = CollectDevices(client, devType, ids))
        return code;
    TJson json = CallJson("devices", "EnumDevices2");
    TJson& list = json.Set("devices", TJson::Array());
    std::vector<std::string> lines;
    for (std::int32_t id : ids) {
        TDeviceRecord record;
        // A device that went away since the enumeration is left out.
        if (LoadDevice(id, record, true) != ecOk)
            continue;
        list.Add(DeviceJson(record));
        lines.push_back(DeviceLine(record));
    }
    if (lines.empty())
        lines.push_back("No devices detected");
    Output_.Answer(json, lines);
    return ecOk;
}

int TCliSession::Info(std::optional<std::int32_t> devId) {
    std::int32_t id = -1;
    if (int code = Target(devId, CurrentDevice_, "DevID", "info", id))
        return code;
    TDeviceRecord r;
    if (int code = LoadDevice(id, r, false))
        return code;
    TJson json = DeviceJson(r);
    json.Set("command", "info");
    json.Set("call", "DevInfo");
    json.Set("Result", true);
    Output_.Answer(json,
                   {
                       "DevID: " + std::to_string(r.DevID),
                       std::string("Active: ") + TrueFalse(r.Active),
                       "LinkName: " + r.LinkName,
                       "FriendlyName: " + r.FriendlyName,
                       "SerialNumber: " + r.SerialNumber,
                       "VidPid: " + r.VidPid,
                       "GUID_: " + r.GUID_,
                       "UserDeviceName: " + r.UserDeviceName,
                       "DevType: " + DevTypeName(r.DevType),
                       "DriverType: " + DriverName(r.DriverType),
                       "Firmware: " + FirmwareText(static_cast<std::uint32_t>(r.Firmware)),
                       "App_ID_Hardware_Revision: " + std::to_string(r.App_ID_Hardware_Revision),
                       "Meas_App_FPGA_Rev: " + std::to_string(r.Meas_App_FPGA_Rev),
                   });
    return ecOk;
}

int TCliSession::First(std::uint8_t devType, std::uint8_t mode) {
    if (int code = EnsureServer())
        return code;
    // Without a client application the server looks for a device free for anyone (-1).
    std::int32_t client = ClientOption.value_or(CurrentClient_);
    TJson json = CallJson("first", "FirstDevice2");
    json.Set("DevType", DevTypeName(devType));
    json.Set("Mode", DevModeName(mode));
    std::int32_t devId = -1;
    bool result = false;
    HRESULT status = Server_->FirstDevice2(devType, client, mode, devId, result);
    if (int code = Check("FirstDevice2", status, result, json,
                         " (" + DevTypeName(devType) + " " + DevModeName(mode) + ")"))
        return code;
    json.Set("DevID", devId);
    CurrentDevice_ = devId;
    Output_.Answer(json, {"DevID: " + std::to_string(devId)});
    return ecOk;
}

int TCliSession::Connect(std::optional<std::int32_t> devId, std::uint8_t mode) {
    std::int32_t id = -1;
    if (int code = Target(devId, CurrentDevice_, "DevID", "connect", id))
        return code;
    std::int32_t client = -1;
    if (int code = ClientFor(client))
        return code;
    TJson json = CallJson("connect", "ConnectDevice");
    json.Set("ClientAppID", client);
    json.Set("DevID", id);
    json.Set("Mode", DevModeName(mode));
    std::int32_t connectId = -1;
    bool result = false;
    HRESULT status = Server_->ConnectDevice(client, id, mode, Event_, connectId, result);
    if (int code = Check("ConnectDevice", status, result, json,
                         " (DevID " + std::to_string(id) + ", " + DevModeName(mode) + ")"))
        return code;
    json.Set("ConnectID", connectId);
    CurrentDevice_ = id;
    CurrentConnection_ = connectId;
    Output_.Answer(json, {"ConnectID: " + std::to_string(connectId)});
    return ecOk;
}

int TCliSession::ResultCall(std::string_view command, std::string_view call, std::int32_t connectId,
                            HRESULT (IZEMBServer4::*method)(std::int32_t, bool&)) {
    TJson json = CallJson(command, call);
    json.Set("ConnectID", connectId);
    bool result = false;
    HRESULT status = ((*Server_).*method)(connectId, result);
    const std::string what = " (ConnectID " + std::to_string(connectId) + ")";
    if (int code = Check(call, status, result, json, what))
        return code;
    Output_.Answer(json, {std::string(call) + what + ": ok"});
    return ecOk;
}

int TCliSession::Open(std::optional<std::int32_t> connectId) {
    std::int32_t id = -1;
    if (int code = Target(connectId, CurrentConnection_, "ConnectID", "open", id))
        return code;
    return ResultCall("open", "OpenDevice", id, &IZEMBServer::OpenDevice);
}

int TCliSession::Close(std::optional<std::int32_t> connectId) {
    std::int32_t id = -1;
    if (int code = Target(connectId, CurrentConnection_, "ConnectID", "close", id))
        return code;
    return ResultCall("close", "CloseDevice", id, &IZEMBServer::CloseDevice);
}

int TCliSession::Disconnect(std::optional<std::int32_t> connectId) {
    std::int32_t id = -1;
    if (int code = Target(connectId, CurrentConnection_, "ConnectID", "disconnect", id))
        return code;
    int code = ResultCall("disconnect", "DisconnectDevice", id, &IZEMBServer::DisconnectDevice);
    if (code == ecOk && id == CurrentConnection_)
        CurrentConnection_ = -1;
    return code;
}

int TCliSession::Session(bool start, std::optional<std::int32_t> connectId) {
    const char* command = start ? "session start" : "session end";
    std::int32_t id = -1;
    if (int code = Target(connectId, CurrentConnection_, "ConnectID", command, id))
        return code;
    return start ? ResultCall(command, "StartSession", id, &IZEMBServer4::StartSession)
                 : ResultCall(command, "EndSession", id, &IZEMBServer4::EndSession);
}

int TCliSession::Write(std::optional<std::int32_t> connectId,
                       const std::vector<std::uint8_t>& data) {
    std::int32_t id = -1;
    if (int code = Target(connectId, CurrentConnection_, "ConnectID", "write", id))
        return code;
    TJson json = CallJson("write", "WriteBuffer");
    json.Set("ConnectID", id);
    json.Set("WriteData", FormatHex(data));
    std::int32_t count = 0;
    bool result = false;
    HRESULT status = Server_->WriteBuffer(id, TSafeByteArray(data), count, result);
    json.Set("WriteCount", count);
    if (int code =
            Check("WriteBuffer", status, result, json, " (ConnectID " + std::to_string(id) + ")"))
        return code;
    Output_.Answer(json, {"WriteCount: " + std::to_string(count)});
    return ecOk;
}

int TCliSession::Read(std::optional<std::int32_t> connectId, std::uint32_t count) {
    std::int32_t id = -1;
    if (int code = NeedId(connectId, CurrentConnection_, "ConnectID", "read", id))
        return code;
    if (count == 0 || count > MaxReadCount) {
        TJson json = CallJson("read", "ReadBuffer");
        Output_.Error(std::move(json),
                      "read: the byte count must be 1 to " + std::to_string(MaxReadCount));
        return ecUsage;
    }
    if (int code = EnsureServer())
        return code;
    TJson json = CallJson("read", "ReadBuffer");
    json.Set("ConnectID", id);
    TSafeByteArray data(count, 1);
    std::int32_t readCount = 0;
    bool result = false;
    HRESULT status = Server_->ReadBuffer(id, data, readCount, result);
    json.Set("ReadCount", readCount);
    if (int code =
            Check("ReadBuffer", status, result, json, " (ConnectID " + std::to_string(id) + ")"))
        return code;
    // Only the bytes the device delivered, and never beyond what the array holds.
    const std::size_t shown =
        std::min<std::size_t>(data.Data().size(), static_cast<std::size_t>(std::max(readCount, 0)));
    const std::string hex = FormatHex(data.Data().first(shown));
    json.Set("ReadData", hex);
    Output_.Answer(json, {"ReadCount: " + std::to_string(readCount), "ReadData: " + hex});
    return ecOk;
}

int TCliSession::Stats(std::optional<std::int32_t> connectId) {
    std::int32_t id = -1;
    if (int code = Target(connectId, CurrentConnection_, "ConnectID", "stats", id))
        return code;
    TJson json = CallJson("stats", "TrafficStat");
    json.Set("ConnectID", id);
    std::int32_t written = 0, read = 0;
    bool result = false;
    HRESULT status = Server_->TrafficStat(id, written, read, result);
    if (int code =
            Check("TrafficStat", status, result, json, " (ConnectID " + std::to_string(id) + ")"))
        return code;
    json.Set("TotalWriteCount", written);
    json.Set("TotalReadCount", read);
    Output_.Answer(json, {"TotalWriteCount: " + std::to_string(written),
                          "TotalReadCount: " + std::to_string(read)});
    return ecOk;
}

int TCliSession::ConnInfo(std::optional<std::int32_t> connectId) {
    std::int32_t id = -1;
    if (int code = Target(connectId, CurrentConnection_, "ConnectID", "conninfo", id))
        return code;
    TJson json = CallJson("conninfo", "ConnectInfo");
    json.Set("ConnectID", id);
    TConnectionRecord c;
    c.ConnectID = id;
    bool result = false;
    HRESULT status = LoadConnection(*Server_, c, result);
    if (int code =
            Check("ConnectInfo", status, result, json, " (ConnectID " + std::to_string(id) + ")"))
        return code;
    json.Set("DevID", c.DevID);
    json.Set("ClientAppID", c.ClientAppID);
    json.Set("Connected", c.Connected);
    json.Set("Active", c.Active);
    json.Set("Mode", DevModeName(c.Mode));
    Output_.Answer(
        json, {"DevID: " + std::to_string(c.DevID), "ClientAppID: " + std::to_string(c.ClientAppID),
               std::string("Connected: ") + TrueFalse(c.Connected),
               std::string("Active: ") + TrueFalse(c.Active), "Mode: " + DevModeName(c.Mode)});
    return ecOk;
}

int TCliSession::ClientInfo(std::optional<std::int32_t> clientAppId) {
    std::int32_t id = -1;
    if (int code = Target(clientAppId ? clientAppId : ClientOption, CurrentClient_, "ClientAppID",
                          "clientinfo", id))
        return code;
    TJson json = CallJson("clientinfo", "ClientAppInfo");
    json.Set("ClientAppID", id);
    TClientRecord c;
    c.ClientAppID = id;
    bool result = false;
    HRESULT status = LoadClient(*Server_, c, result);
    if (int code = Check("ClientAppInfo", status, result, json,
                         " (ClientAppID " + std::to_string(id) + ")"))
        return code;
    SetClientFields(json, c);
    Output_.Answer(json,
                   {"ClientAppID: " + std::to_string(id),
                    "ClientAppType: " + ClientAppTypeName(c.ClientAppType),
                    "ClientAppComputerName: " + c.ComputerName, "ClientAppExeName: " + c.ExeName});
    return ecOk;
}

int TCliSession::BufferSize(std::optional<std::int32_t> devId) {
    std::int32_t id = -1;
    if (int code = Target(devId, CurrentDevice_, "DevID", "buffer-size", id))
        return code;
    TJson json = CallJson("buffer-size", "TotalBufferSize");
    json.Set("DevID", id);
    std::int32_t value = 0;
    bool result = false;
    HRESULT status = Server_->TotalBufferSize(id, value, result);
    if (int code =
            Check("TotalBufferSize", status, result, json, " (DevID " + std::to_string(id) + ")"))
        return code;
    json.Set("Value", value);
    Output_.Answer(json, {"TotalBufferSize: " + std::to_string(value)});
    return ecOk;
}

int TCliSession::Tree() {
    if (int code = EnsureServer())
        return code;
    std::int32_t client = -1;
    if (int code = ClientFor(client))
        return code;
    std::vector<std::int32_t> devIds, connectIds, clientIds;
    if (int code = CollectDevices(client, std::nullopt, devIds))
        return code;
    struct TEnum {
        const char* Call;
        HRESULT (IZEMBServer4::*Method)(std::int32_t, bool&);
        std::vector<std::int32_t>* Ids;
    };
    for (const TEnum& e :
         {TEnum{"EnumConnection2", &IZEMBServer4::EnumConnection2, &connectIds},
          TEnum{"EnumApplications2", &IZEMBServer4::EnumApplications2, &clientIds}}) {
        TJson json = CallJson("tree", e.Call);
        bool result = false;
        Sink_->Collect = e.Ids;
        HRESULT status = ((*Server_).*e.Method)(client, result);
        Sink_->Collect = nullptr;
        if (int code = Check(e.Call, status, result, json,
                             " (ClientAppID " + std::to_string(client) + ")"))
            return code;
    }

    std::vector<TConnectionRecord> connections;
    for (std::int32_t id : connectIds) {
        TConnectionRecord c;
        c.ConnectID = id;
        bool result = false;
        if (SUCCEEDED(LoadConnection(*Server_, c, result)) && result)
            connections.push_back(c);
    }
    std::vector<TClientRecord> clients;
    for (std::int32_t id : clientIds) {
        TClientRecord c;
        c.ClientAppID = id;
        bool result = false;
        if (SUCCEEDED(LoadClient(*Server_, c, result)) && result)
            clients.push_back(c);
    }
    auto clientOf = [&](std::int32_t id) -> const TClientRecord* {
        for (const TClientRecord& c : clients)
            if (c.ClientAppID == id)
                return &c;
        return nullptr;
    };

    // The operator window's tree: each device with its information and its connections, each
    // connection with its client application; then every client application.
    TJson json = CallJson("tree", "EnumDevices2");
    TJson& devices = json.Set("devices", TJson::Array());
    std::vector<std::string> lines;
    for (std::int32_t devId : devIds) {
        TDeviceRecord r;
        if (LoadDevice(devId, r, true) != ecOk)
            continue;
        TJson& device = devices.Add(DeviceJson(r));
        TJson& deviceConnections = device.Set("connections", TJson::Array());
        lines.push_back("DevID: " + std::to_string(r.DevID));
        lines.push_back(std::string("  Active: ") + TrueFalse(r.Active));
        lines.push_back("  Info:");
        lines.push_back("    SerialNumber: " + r.SerialNumber);
        lines.push_back("    VidPid: " + r.VidPid);
        lines.push_back("    DevType: " + DevTypeName(r.DevType));
        lines.push_back("    DriverType: " + DriverName(r.DriverType));
        lines.push_back("    Firmware: " + FirmwareText(static_cast<std::uint32_t>(r.Firmware)));
        lines.push_back("    LinkName: " + r.LinkName);
        for (const TConnectionRecord& c : connections) {
            if (c.DevID != devId || !c.Connected)
                continue;
            TJson connection = TJson::Object();
            connection.Set("ConnectID", c.ConnectID);
            connection.Set("ClientAppID", c.ClientAppID);
            connection.Set("Active", c.Active);
            connection.Set("Mode", DevModeName(c.Mode));
            deviceConnections.Add(std::move(connection));
            lines.push_back("  ConnectID: " + std::to_string(c.ConnectID));
            lines.push_back(std::string("    Active: ") + TrueFalse(c.Active));
            lines.push_back("    Mode: " + DevModeName(c.Mode));
            if (const TClientRecord* app = clientOf(c.ClientAppID)) {
                lines.push_back("    Info");
                lines.push_back("      ClientAppID: " + std::to_string(app->ClientAppID));
                lines.push_back("      ClientAppType: " + ClientAppTypeName(app->ClientAppType));
                lines.push_back("      ClientAppExeName: " + app->ExeName);
            }
        }
    }
    if (lines.empty())
        lines.push_back("No devices detected");
    TJson& apps = json.Set("clients", TJson::Array());
    lines.push_back("Client applications:");
    for (const TClientRecord& c : clients) {
        TJson app = TJson::Object();
        app.Set("ClientAppID", c.ClientAppID);
        SetClientFields(app, c);
        apps.Add(std::move(app));
        lines.push_back("  ClientAppID: " + std::to_string(c.ClientAppID) + "  " +
                        ClientAppTypeName(c.ClientAppType) + "  " + c.ExeName + " on " +
                        c.ComputerName);
    }
    TJson& orphans = json.Set("unattached_connections", TJson::Array());
    for (const TConnectionRecord& c : connections) {
        // A connection whose device is gone waits for it to come back.
        if (c.Connected)
            continue;
        TJson connection = TJson::Object();
        connection.Set("ConnectID", c.ConnectID);
        connection.Set("ClientAppID", c.ClientAppID);
        connection.Set("Mode", DevModeName(c.Mode));
        orphans.Add(std::move(connection));
        lines.push_back("ConnectID: " + std::to_string(c.ConnectID) + " (ClientAppID " +
                        std::to_string(c.ClientAppID) + ", " + DevModeName(c.Mode) +
                        "): device detached");
    }
    Output_.Answer(json, lines);
    return ecOk;
}

int TCliSession::Monitor(TSignalFd* signals, std::chrono::milliseconds duration, bool connectAll) {
    if (int code = EnsureServer())
        return code;
    std::int32_t client = -1;
    if (int code = ClientFor(client))
        return code;
    if (int code = EnsureSink(client))
        return code;
    std::vector<std::int32_t> made;
    if (connectAll) {
        std::vector<std::int32_t> devIds;
        if (int code = CollectDevices(client, std::nullopt, devIds))
            return code;
        for (std::int32_t devId : devIds) {
            std::int32_t connectId = -1;
            bool result = false;
            if (SUCCEEDED(Server_->ConnectDevice(client, devId, ZEMB::cmShared, Event_, connectId,
                                                 result)) &&
                result) {
                made.push_back(connectId);
                TJson json = CallJson("monitor", "ConnectDevice");
                json.Set("DevID", devId);
                json.Set("ConnectID", connectId);
                Output_.Answer(json, {"Watching DevID " + std::to_string(devId) +
                                      " through ConnectID " + std::to_string(connectId)});
            }
        }
    }
    {
        TJson json = CallJson("monitor", "SetZEMBHost2");
        json.Set("ClientAppID", client);
        json.Set("monitoring", true);
        Output_.Answer(
            json, {"Monitoring ClientAppID " + std::to_string(client) + " (interrupt to end)"});
    }

    const bool served = ServeUntil(*Client_, signals, duration, [this] {
        if (Client_->ProcessEvents())
            return true;
        Output_.Error(CallJson("monitor", "ProcessEvents"),
                      "monitor: the connection to the bus was lost");
        return false;
    });
    for (std::int32_t connectId : made) {
        bool result = false;
        Server_->DisconnectDevice(connectId, result);
    }
    return served ? ecOk : ecUnreachable;
}

int TCliSession::Log(bool clear, bool follow, TSignalFd* signals,
                     std::chrono::milliseconds duration) {
    TJson json = CallJson("log", clear ? "ClearCommunicationLog" : "GetCommunicationLog");
    std::string error;
    if (!OperatorLog_) {
        auto log = std::make_unique<TOperatorLog>();
        if (!log->Open(ServerName, error)) {
            Output_.Error(std::move(json), error);
            return ecUnreachable;
        }
        OperatorLog_ = std::move(log);
    }
    if (clear) {
        if (!OperatorLog_->Clear(CallTimeout_, error)) {
            Output_.Error(std::move(json), "ClearCommunicationLog failed: " + error);
            return ecUnreachable;
        }
        json.Set("Result", true);
        Output_.Answer(json, {"Communication log cleared"});
        return ecOk;
    }
    if (follow && !OperatorLog_->Watch(error)) {
        Output_.Error(std::move(json), error);
        return ecUnreachable;
    }
    std::vector<std::string> shown;
    // Shows the lines from the first one that differs from what was shown before.
    auto show = [&]() -> bool {
        std::vector<std::string> lines;
        if (!OperatorLog_->Lines(lines, CallTimeout_, error)) {
            TJson failed = CallJson("log", "GetCommunicationLog");
            Output_.Error(std::move(failed), "GetCommunicationLog failed: " + error);
            return false;
        }
        std::size_t from = 0;
        while (from < lines.size() && from < shown.size() && lines[from] == shown[from])
            ++from;
        if (from < lines.size() || lines.size() != shown.size() || shown.empty()) {
            TJson answer = CallJson("log", "GetCommunicationLog");
            answer.Set("from", static_cast<std::int64_t>(from));
            TJson& array = answer.Set("lines", TJson::Array());
            std::vector<std::string> text;
            for (std::size_t n = from; n < lines.size(); ++n) {
                array.Add(lines[n]);
                text.push_back(lines[n]);
            }
            if (lines.empty() && !shown.empty())
                text.push_back("(communication log cleared)");
            Output_.Answer(answer, text);
        }
        shown = std::move(lines);
        return true;
    };
    if (!show())
        return ecUnreachable;
    if (!follow)
        return ecOk;
    {
        TJson following = CallJson("log", "CommunicationLogChanged");
        following.Set("following", true);
        Output_.Answer(following, {"Following the communication log (interrupt to end)"});
    }

    const bool served = ServeUntil(*OperatorLog_, signals, duration, [&] {
        if (!OperatorLog_->Process()) {
            Output_.Error(CallJson("log", "CommunicationLogChanged"),
                          "log: the connection to the bus was lost");
            return false;
        }
        return !OperatorLog_->TakeChanged() || show();
    });
    return served ? ecOk : ecUnreachable;
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
    const std::int32_t implicit = ImplicitClient_ ? CurrentClient_ : -1;
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
    CurrentClient_ = -1;
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

TSignalFd::TSignalFd() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigprocmask(SIG_BLOCK, &set, &Old_);
    Fd_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

TSignalFd::~TSignalFd() {
    if (Fd_ >= 0)
        close(Fd_);
    sigprocmask(SIG_SETMASK, &Old_, nullptr);
}

int TSignalFd::Take() {
    signalfd_siginfo info{};
    if (Fd_ < 0 || read(Fd_, &info, sizeof info) != static_cast<ssize_t>(sizeof info))
        return 0;
    return static_cast<int>(info.ssi_signo);
}

} // namespace ZEMBCli
