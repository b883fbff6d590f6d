// SPDX-License-Identifier: MIT
// Devices: devices, info, first, buffer-size, tree.
#include "CliCommands.h"
#include "CliRecords.h"

using namespace ZEMB;

namespace ZEMBCli {

namespace {

std::string FirmwareOf(const TDeviceRecord& r) {
    return FirmwareText(static_cast<std::uint16_t>(r.Firmware));
}

// DevInfo into r; quiet: a Result False or a device gone is not shown, only returned.
int LoadDevice(TCliSession& session, std::int32_t devId, TDeviceRecord& r, bool quiet) {
    bool result = false;
    std::uint8_t mode = 0;
    r.DevID = devId;
    HRESULT status = session.Server().DevInfo(
        devId, r.Active, mode, r.LinkName, r.FriendlyName, r.SerialNumber, r.VidPid, r.GUID_,
        r.UserDeviceName, r.DevType, r.DriverType, r.Firmware, r.App_ID_Hardware_Revision,
        r.Meas_App_FPGA_Rev, result);
    if (quiet && SUCCEEDED(status))
        return result ? ecOk : ecNotOk;
    TJson json = CallJson("info", "DevInfo");
    json.Set("DevID", devId);
    return session.Check("DevInfo", status, result, json, " (DevID " + std::to_string(devId) + ")");
}

// The records of the devices; a device that went away since the enumeration is left out.
std::vector<TDeviceRecord> LoadDevices(TCliSession& session, const std::vector<std::int32_t>& ids) {
    std::vector<TDeviceRecord> records;
    for (std::int32_t id : ids) {
        TDeviceRecord r;
        if (LoadDevice(session, id, r, true) == ecOk)
            records.push_back(std::move(r));
    }
    return records;
}

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
    json.Set("DevType", ToText(TUSBDevType{r.DevType}));
    json.Set("DriverType", ToText(TUSB_DeviceDriver{r.DriverType}));
    json.Set("Firmware", FirmwareOf(r));
    json.Set("App_ID_Hardware_Revision", static_cast<std::int32_t>(r.App_ID_Hardware_Revision));
    json.Set("Meas_App_FPGA_Rev", static_cast<std::int32_t>(r.Meas_App_FPGA_Rev));
    return json;
}

std::string DeviceLine(const TDeviceRecord& r) {
    return "DevID: " + std::to_string(r.DevID) + "  " + ToText(TUSBDevType{r.DevType}) + "  " +
           ToText(TUSB_DeviceDriver{r.DriverType}) + "  Firmware: " + FirmwareOf(r) +
           "  SerialNumber: " + r.SerialNumber + "  FriendlyName: " + r.FriendlyName +
           (r.Active ? "" : "  (not active)");
}

int Devices(TCliSession& session, std::optional<std::uint8_t> devType) {
    std::int32_t client = -1;
    if (int code = session.ClientFor(client))
        return code;
    std::vector<std::int32_t> ids;
    if (int code = session.CollectDevices(client, devType, ids))
        return code;
    TJson json = CallJson("devices", "EnumDevices2");
    TJson& list = json.Set("devices", TJson::Array());
    std::vector<std::string> lines;
    for (const TDeviceRecord& r : LoadDevices(session, ids)) {
        list.Add(DeviceJson(r));
        lines.push_back(DeviceLine(r));
    }
    if (lines.empty())
        lines.push_back("No devices detected");
    session.Output().Answer(json, lines);
    return ecOk;
}

int Info(TCliSession& session, std::optional<std::int32_t> devId) {
    std::int32_t id = -1;
    if (int code = session.Target(devId, session.Current().Device, "DevID", "info", id))
        return code;
    TDeviceRecord r;
    if (int code = LoadDevice(session, id, r, false))
        return code;
    TJson json = DeviceJson(r);
    json.Set("command", "info");
    json.Set("call", "DevInfo");
    json.Set("Result", true);
    session.Output().Answer(
        json, {
                  "DevID: " + std::to_string(r.DevID),
                  std::string("Active: ") + TrueFalse(r.Active),
                  "LinkName: " + r.LinkName,
                  "FriendlyName: " + r.FriendlyName,
                  "SerialNumber: " + r.SerialNumber,
                  "VidPid: " + r.VidPid,
                  "GUID_: " + r.GUID_,
                  "UserDeviceName: " + r.UserDeviceName,
                  "DevType: " + ToText(TUSBDevType{r.DevType}),
                  "DriverType: " + ToText(TUSB_DeviceDriver{r.DriverType}),
                  "Firmware: " + FirmwareOf(r),
                  "App_ID_Hardware_Revision: " + std::to_string(r.App_ID_Hardware_Revision),
                  "Meas_App_FPGA_Rev: " + std::to_string(r.Meas_App_FPGA_Rev),
              });
    return ecOk;
}

int First(TCliSession& session, std::uint8_t devType, std::uint8_t mode) {
    if (int code = session.EnsureServer())
        return code;
    // Without a client application the server looks for a device free for anyone (-1).
    std::int32_t client = session.ClientOption.value_or(session.Current().Client);
    TJson json = CallJson("first", "FirstDevice2");
    json.Set("DevType", ToText(TUSBDevType{devType}));
    json.Set("Mode", ToText(TUSBDevMode{mode}));
    std::int32_t devId = -1;
    bool result = false;
    HRESULT status = session.Server().FirstDevice2(devType, client, mode, devId, result);
    if (int code = session.Check("FirstDevice2", status, result, json,
                                 " (" + ToText(TUSBDevType{devType}) + " " +
                                     ToText(TUSBDevMode{mode}) + ")"))
        return code;
    json.Set("DevID", devId);
    session.UseDevice(devId);
    session.Output().Answer(json, {"DevID: " + std::to_string(devId)});
    return ecOk;
}

int BufferSize(TCliSession& session, std::optional<std::int32_t> devId) {
    std::int32_t id = -1;
    if (int code = session.Target(devId, session.Current().Device, "DevID", "buffer-size", id))
        return code;
    TJson json = CallJson("buffer-size", "TotalBufferSize");
    json.Set("DevID", id);
    std::int32_t value = 0;
    bool result = false;
    HRESULT status = session.Server().TotalBufferSize(id, value, result);
    if (int code = session.Check("TotalBufferSize", status, result, json,
                                 " (DevID " + std::to_string(id) + ")"))
        return code;
    json.Set("Value", value);
    session.Output().Answer(json, {"TotalBufferSize: " + std::to_string(value)});
    return ecOk;
}

int Tree(TCliSession& session) {
    std::int32_t client = -1;
    if (int code = session.ClientFor(client))
        return code;
    std::vector<std::int32_t> devIds, connectIds, clientIds;
    if (int code = session.CollectDevices(client, std::nullopt, devIds))
        return code;
    IZEMBServer4& server = session.Server();
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
        HRESULT status =
            session.Collect(*e.Ids, [&] { return (server.*e.Method)(client, result); });
        if (int code = session.Check(e.Call, status, result, json,
                                     " (ClientAppID " + std::to_string(client) + ")"))
            return code;
    }

    std::vector<TConnectionRecord> connections;
    for (std::int32_t id : connectIds) {
        TConnectionRecord c;
        c.ConnectID = id;
        bool result = false;
        if (SUCCEEDED(LoadConnection(server, c, result)) && result)
            connections.push_back(c);
    }
    std::vector<TClientRecord> clients;
    for (std::int32_t id : clientIds) {
        TClientRecord c;
        c.ClientAppID = id;
        bool result = false;
        if (SUCCEEDED(LoadClient(server, c, result)) && result)
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
    for (const TDeviceRecord& r : LoadDevices(session, devIds)) {
        TJson& device = devices.Add(DeviceJson(r));
        TJson& deviceConnections = device.Set("connections", TJson::Array());
        lines.push_back("DevID: " + std::to_string(r.DevID));
        lines.push_back(std::string("  Active: ") + TrueFalse(r.Active));
        lines.push_back("  Info:");
        lines.push_back("    SerialNumber: " + r.SerialNumber);
        lines.push_back("    VidPid: " + r.VidPid);
        lines.push_back("    DevType: " + ToText(TUSBDevType{r.DevType}));
        lines.push_back("    DriverType: " + ToText(TUSB_DeviceDriver{r.DriverType}));
        lines.push_back("    Firmware: " + FirmwareOf(r));
        lines.push_back("    LinkName: " + r.LinkName);
        for (const TConnectionRecord& c : connections) {
            if (c.DevID != r.DevID || !c.Connected)
                continue;
            TJson connection = TJson::Object();
            connection.Set("ConnectID", c.ConnectID);
            connection.Set("ClientAppID", c.ClientAppID);
            connection.Set("Active", c.Active);
            connection.Set("Mode", ToText(TUSBDevMode{c.Mode}));
            deviceConnections.Add(std::move(connection));
            lines.push_back("  ConnectID: " + std::to_string(c.ConnectID));
            lines.push_back(std::string("    Active: ") + TrueFalse(c.Active));
            lines.push_back("    Mode: " + ToText(TUSBDevMode{c.Mode}));
            if (const TClientRecord* app = clientOf(c.ClientAppID)) {
                lines.push_back("    Info");
                lines.push_back("      ClientAppID: " + std::to_string(app->ClientAppID));
                lines.push_back("      ClientAppType: " +
                                ToText(TUSBClientAppType{app->ClientAppType}));
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
                        ToText(TUSBClientAppType{c.ClientAppType}) + "  " + c.ExeName + " on " +
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
        connection.Set("Mode", ToText(TUSBDevMode{c.Mode}));
        orphans.Add(std::move(connection));
        lines.push_back("ConnectID: " + std::to_string(c.ConnectID) + " (ClientAppID " +
                        std::to_string(c.ClientAppID) + ", " + ToText(TUSBDevMode{c.Mode}) +
                        "): device detached");
    }
    session.Output().Answer(json, lines);
    return ecOk;
}

} // namespace

TRun DefineDevices(CLI::App& command, const TCommandContext& context) {
    auto type = std::make_shared<std::string>();
    command.add_option("--type", *type, "only devices of this TYPE (default: every type)");
    return [&session = context.Session, type]() -> int {
        if (type->empty())
            return Devices(session, std::nullopt);
        auto devType = ParseDevType(*type);
        if (!devType)
            return UsageError(session, "devices: unknown device type '" + *type + "'");
        return Devices(session, *devType);
    };
}

TRun DefineInfo(CLI::App& command, const TCommandContext& context) {
    return IdCommand(command, context, "DEVID", "default: the current device", Info);
}

TRun DefineFirst(CLI::App& command, const TCommandContext& context) {
    struct TArgs {
        std::string Type, Mode;
    };
    auto args = std::make_shared<TArgs>();
    command.add_option("TYPE", args->Type, "device type")->required();
    command.add_option("--mode", args->Mode, "access mode (default cmExclusive)");
    return [&session = context.Session, args]() -> int {
        auto devType = ParseDevType(args->Type);
        if (!devType)
            return UsageError(session, "first: unknown device type '" + args->Type + "'");
        auto mode = ModeOf(session, "first", args->Mode);
        return mode ? First(session, *devType, *mode) : ecUsage;
    };
}

TRun DefineBufferSize(CLI::App& command, const TCommandContext& context) {
    return IdCommand(command, context, "DEVID", "default: the current device", BufferSize);
}

TRun DefineTree(CLI::App&, const TCommandContext& context) {
    return [&session = context.Session] { return Tree(session); };
}

} // namespace ZEMBCli
