// SPDX-License-Identifier: MIT
// Devices: devices, info, first, buffer-size, tree.
#include "CliCommands.h"
#include "CliOperatorLog.h"
#include "CliRecords.h"
#include "contract/OperatorInterface.h"

#include <algorithm>

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

const char* ImageName(std::int32_t image) {
    switch (image) {
    case tiDevice:
        return "chip";
    case tiInfo:
        return "question";
    case tiValue:
        return "bar";
    case tiConnection:
        return "cog";
    default:
        return "none";
    }
}

// The operator window's tree, read through the operator interface: no client is registered
// for it, so looking at the tree does not change what it shows.
int Tree(TCliSession& session, bool images) {
    TCliOutput& output = session.Output();
    TJson json = CallJson("tree", "GetDeviceTree");
    std::string error;
    TOperatorLog* server = session.OperatorLog(error);
    std::vector<TOperatorLog::TTreeNode> nodes;
    if (!server || !server->DeviceTree(session.CallTimeout(), nodes, error)) {
        output.Error(std::move(json), server ? "GetDeviceTree failed: " + error : error);
        return ecUnreachable;
    }
    TJson& list = json.Set("nodes", TJson::Array());
    std::vector<std::string> lines;
    for (const TOperatorLog::TTreeNode& node : nodes) {
        TJson& item = list.Add(TJson::Object());
        item.Set("Text", node.Text);
        item.Set("ImageIndex", node.ImageIndex);
        item.Set("Image", ImageName(node.ImageIndex));
        item.Set("Depth", node.Depth);
        item.Set("Expanded", node.Expanded);
        lines.push_back(std::string(2 * static_cast<std::size_t>(std::max(node.Depth, 0)), ' ') +
                        (images ? std::string("[") + ImageName(node.ImageIndex) + "] " : "") +
                        node.Text);
    }
    if (lines.empty())
        lines.push_back("No devices detected");
    output.Answer(json, lines);
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

TRun DefineTree(CLI::App& command, const TCommandContext& context) {
    auto images = std::make_shared<bool>(false);
    command.add_flag("--images", *images, "show each node's image (chip, question, bar, cog)");
    return [&session = context.Session, images] { return Tree(session, *images); };
}

} // namespace ZEMBCli
