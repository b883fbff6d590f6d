// SPDX-License-Identifier: MIT
// Connections: connect, open, close, disconnect, write, read, stats, conninfo, session.
#include "CliCommands.h"
#include "CliRecords.h"

#include <algorithm>

using namespace ZEMB;

namespace ZEMBCli {

namespace {

// The largest read a command may ask for; a link device's buffer is a few kilobytes.
constexpr std::uint32_t MaxReadCount = 65536;

// The ConnectID of a command, given or the current one, with the server reached.
int TargetConnection(TCliSession& session, std::optional<std::int32_t> given,
                     std::string_view command, std::int32_t& id) {
    return session.Target(given, session.Current().Connection, "ConnectID", command, id);
}

int Connect(TCliSession& session, std::optional<std::int32_t> devId, std::uint8_t mode) {
    std::int32_t id = -1;
    if (int code = session.Target(devId, session.Current().Device, "DevID", "connect", id))
        return code;
    std::int32_t client = -1;
    if (int code = session.ClientFor(client))
        return code;
    const std::string modeText = ToText(TUSBDevMode{mode});
    TJson json = CallJson("connect", "ConnectDevice");
    json.Set("ClientAppID", client);
    json.Set("DevID", id);
    json.Set("Mode", modeText);
    std::int32_t connectId = -1;
    bool result = false;
    HRESULT status =
        session.Server().ConnectDevice(client, id, mode, session.Event(), connectId, result);
    if (int code = session.Check("ConnectDevice", status, result, json,
                                 " (DevID " + std::to_string(id) + ", " + modeText + ")"))
        return code;
    json.Set("ConnectID", connectId);
    session.UseDevice(id);
    session.UseConnection(connectId);
    session.Output().Answer(json, {"ConnectID: " + std::to_string(connectId)});
    return ecOk;
}

// A call on a connection that answers only its Result.
int ResultCommand(TCliSession& session, std::optional<std::int32_t> connectId,
                  std::string_view command, std::string_view call,
                  HRESULT (IZEMBServer4::*method)(std::int32_t, bool&)) {
    std::int32_t id = -1;
    if (int code = TargetConnection(session, connectId, command, id))
        return code;
    TJson json = CallJson(command, call);
    json.Set("ConnectID", id);
    bool result = false;
    HRESULT status = (session.Server().*method)(id, result);
    const std::string what = " (ConnectID " + std::to_string(id) + ")";
    if (int code = session.Check(call, status, result, json, what))
        return code;
    session.Output().Answer(json, {std::string(call) + what + ": ok"});
    return ecOk;
}

int Open(TCliSession& session, std::optional<std::int32_t> connectId) {
    return ResultCommand(session, connectId, "open", "OpenDevice", &IZEMBServer::OpenDevice);
}

int Close(TCliSession& session, std::optional<std::int32_t> connectId) {
    return ResultCommand(session, connectId, "close", "CloseDevice", &IZEMBServer::CloseDevice);
}

int Disconnect(TCliSession& session, std::optional<std::int32_t> connectId) {
    int code = ResultCommand(session, connectId, "disconnect", "DisconnectDevice",
                             &IZEMBServer::DisconnectDevice);
    // The connection given, or else the current one, is gone.
    if (code == ecOk &&
        connectId.value_or(session.Current().Connection) == session.Current().Connection)
        session.UseConnection(-1);
    return code;
}

int Session(TCliSession& session, bool start, std::optional<std::int32_t> connectId) {
    return start ? ResultCommand(session, connectId, "session start", "StartSession",
                                 &IZEMBServer4::StartSession)
                 : ResultCommand(session, connectId, "session end", "EndSession",
                                 &IZEMBServer4::EndSession);
}

int Write(TCliSession& session, std::optional<std::int32_t> connectId,
          const std::vector<std::uint8_t>& data) {
    std::int32_t id = -1;
    if (int code = TargetConnection(session, connectId, "write", id))
        return code;
    TJson json = CallJson("write", "WriteBuffer");
    json.Set("ConnectID", id);
    json.Set("WriteData", FormatHex(data));
    std::int32_t count = 0;
    bool result = false;
    HRESULT status = session.Server().WriteBuffer(id, TSafeByteArray(data), count, result);
    json.Set("WriteCount", count);
    if (int code = session.Check("WriteBuffer", status, result, json,
                                 " (ConnectID " + std::to_string(id) + ")"))
        return code;
    session.Output().Answer(json, {"WriteCount: " + std::to_string(count)});
    return ecOk;
}

int Read(TCliSession& session, std::optional<std::int32_t> connectId, std::uint32_t count) {
    std::int32_t id = -1;
    if (int code = session.NeedId(connectId, session.Current().Connection, "ConnectID", "read", id))
        return code;
    if (count == 0 || count > MaxReadCount) {
        TJson json = CallJson("read", "ReadBuffer");
        session.Output().Error(std::move(json),
                               "read: the byte count must be 1 to " + std::to_string(MaxReadCount));
        return ecUsage;
    }
    if (int code = session.EnsureServer())
        return code;
    TJson json = CallJson("read", "ReadBuffer");
    json.Set("ConnectID", id);
    TSafeByteArray data(count, 1);
    std::int32_t readCount = 0;
    bool result = false;
    HRESULT status = session.Server().ReadBuffer(id, data, readCount, result);
    json.Set("ReadCount", readCount);
    if (int code = session.Check("ReadBuffer", status, result, json,
                                 " (ConnectID " + std::to_string(id) + ")"))
        return code;
    // Only the bytes the device delivered, and never beyond what the array holds.
    const std::size_t shown =
        std::min<std::size_t>(data.Data().size(), static_cast<std::size_t>(std::max(readCount, 0)));
    const std::string hex = FormatHex(data.Data().first(shown));
    json.Set("ReadData", hex);
    session.Output().Answer(json, {"ReadCount: " + std::to_string(readCount), "ReadData: " + hex});
    return ecOk;
}

int Stats(TCliSession& session, std::optional<std::int32_t> connectId) {
    std::int32_t id = -1;
    if (int code = TargetConnection(session, connectId, "stats", id))
        return code;
    TJson json = CallJson("stats", "TrafficStat");
    json.Set("ConnectID", id);
    std::int32_t written = 0, read = 0;
    bool result = false;
    HRESULT status = session.Server().TrafficStat(id, written, read, result);
    if (int code = session.Check("TrafficStat", status, result, json,
                                 " (ConnectID " + std::to_string(id) + ")"))
        return code;
    json.Set("TotalWriteCount", written);
    json.Set("TotalReadCount", read);
    session.Output().Answer(json, {"TotalWriteCount: " + std::to_string(written),
                                   "TotalReadCount: " + std::to_string(read)});
    return ecOk;
}

int ConnInfo(TCliSession& session, std::optional<std::int32_t> connectId) {
    std::int32_t id = -1;
    if (int code = TargetConnection(session, connectId, "conninfo", id))
        return code;
    TJson json = CallJson("conninfo", "ConnectInfo");
    json.Set("ConnectID", id);
    TConnectionRecord c;
    c.ConnectID = id;
    bool result = false;
    HRESULT status = LoadConnection(session.Server(), c, result);
    if (int code = session.Check("ConnectInfo", status, result, json,
                                 " (ConnectID " + std::to_string(id) + ")"))
        return code;
    const std::string modeText = ToText(TUSBDevMode{c.Mode});
    json.Set("DevID", c.DevID);
    json.Set("ClientAppID", c.ClientAppID);
    json.Set("Connected", c.Connected);
    json.Set("Active", c.Active);
    json.Set("Mode", modeText);
    session.Output().Answer(
        json, {"DevID: " + std::to_string(c.DevID), "ClientAppID: " + std::to_string(c.ClientAppID),
               std::string("Connected: ") + TrueFalse(c.Connected),
               std::string("Active: ") + TrueFalse(c.Active), "Mode: " + modeText});
    return ecOk;
}

// -c,--connection: the ConnectID of a command whose arguments are data.
TIdArgumentPtr ConnectionOption(CLI::App& command) {
    return IdArgument(command, "-c,--connection", "ConnectID (default: the current connection)");
}

constexpr const char* CurrentConnection = "default: the current connection";

} // namespace

TRun DefineConnect(CLI::App& command, const TCommandContext& context) {
    auto devId = IdArgument(command, "DEVID", "default: the current device");
    auto mode = std::make_shared<std::string>();
    command.add_option("--mode", *mode, "access mode (default cmExclusive)");
    return [&session = context.Session, devId, mode]() -> int {
        auto value = ModeOf(session, "connect", *mode);
        return value ? Connect(session, devId->Given(), *value) : ecUsage;
    };
}

TRun DefineOpen(CLI::App& command, const TCommandContext& context) {
    return IdCommand(command, context, "CONNECTID", CurrentConnection, Open);
}

TRun DefineClose(CLI::App& command, const TCommandContext& context) {
    return IdCommand(command, context, "CONNECTID", CurrentConnection, Close);
}

TRun DefineDisconnect(CLI::App& command, const TCommandContext& context) {
    return IdCommand(command, context, "CONNECTID", CurrentConnection, Disconnect);
}

TRun DefineWrite(CLI::App& command, const TCommandContext& context) {
    auto hex = std::make_shared<std::vector<std::string>>();
    command.add_option("HEX", *hex, "the bytes, in hex")->required();
    auto connectId = ConnectionOption(command);
    return [&session = context.Session, hex, connectId]() -> int {
        std::string text;
        for (const std::string& part : *hex)
            text += part + " ";
        std::vector<std::uint8_t> bytes;
        std::string error;
        if (!ParseHexBytes(text, bytes, error))
            return UsageError(session, "write: " + error);
        return Write(session, connectId->Given(), bytes);
    };
}

TRun DefineRead(CLI::App& command, const TCommandContext& context) {
    auto count = std::make_shared<std::int64_t>(0);
    command.add_option("N", *count, "size of the read buffer in bytes")
        ->required()
        ->check(CLI::Range(1, 65536));
    auto connectId = ConnectionOption(command);
    return [&session = context.Session, count, connectId] {
        return Read(session, connectId->Given(), static_cast<std::uint32_t>(*count));
    };
}

TRun DefineStats(CLI::App& command, const TCommandContext& context) {
    return IdCommand(command, context, "CONNECTID", CurrentConnection, Stats);
}

TRun DefineConnInfo(CLI::App& command, const TCommandContext& context) {
    return IdCommand(command, context, "CONNECTID", CurrentConnection, ConnInfo);
}

TRun DefineSession(CLI::App& command, const TCommandContext& context) {
    auto action = std::make_shared<std::string>();
    command.add_option("ACTION", *action, "start or end")
        ->required()
        ->check(CLI::IsMember({"start", "end"}));
    auto connectId = IdArgument(command, "CONNECTID", CurrentConnection);
    return [&session = context.Session, action, connectId] {
        return Session(session, *action == "start", connectId->Given());
    };
}

} // namespace ZEMBCli
