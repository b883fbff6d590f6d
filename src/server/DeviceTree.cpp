// SPDX-License-Identifier: MIT
#include "server/DeviceTree.h"

#include "base/DebugLog.h"
#include "contract/Enumerations.h"
#include "host/HostOperations.h"
#include "host/ServerSink.h"
#include "server/ServerObject.h"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <utility>

using namespace ZEMB;

namespace {

const char* TrueFalse(bool value) {
    return value ? "True" : "False";
}

// The window's handlers while one tree is built; the sink's earlier handlers come back after,
// so that it answers as before to every other caller.
class TTreeBuild {
public:
    TTreeBuild(TUSB_IFHostBase& host, std::shared_ptr<TZEMBHost> sink)
        : host_(host), sink_(std::move(sink)), device_(std::move(sink_->OnEnumDevice)),
          connection_(std::move(sink_->OnEnumConnection)),
          application_(std::move(sink_->OnEnumApplication)) {
        sink_->OnEnumDevice =
            [this](std::int32_t DevID, bool Active, const std::string& LinkName, const std::string&,
                   const std::string& SerialNumber, const std::string& VidPid, const std::string&,
                   const std::string&, TUSBDevType DevType, TUSB_DeviceDriver DriverType,
                   std::uint16_t Firmware, std::uint8_t, std::uint16_t) {
                Add("DevID: " + std::to_string(DevID), tiDevice, 0);
                Add(std::string("Active: ") + TrueFalse(Active), tiValue, 1);
                AddInfo("Info:", 1);
                Add("SerialNumber: " + SerialNumber, tiValue, 2);
                Add("VidPid: " + VidPid, tiValue, 2);
                Add("DevType: " + ToText(DevType), tiValue, 2);
                Add("DriverType: " + ToText(DriverType), tiValue, 2);
                Add("Firmware: " + FirmwareText(Firmware), tiValue, 2);
                Add("LinkName: " + LinkName, tiValue, 2);
                currentDevID_ = DevID;
                host_.EnumConnections(sink_);
            };
        sink_->OnEnumConnection = [this](std::int32_t ConnectID, std::int32_t DevID,
                                         std::int32_t ClientAppID, bool Connected, bool Opened,
                                         TUSBDevMode Mode) {
            if (DevID != currentDevID_ || !Connected)
                return;
            Add("ConnectID: " + std::to_string(ConnectID), tiConnection, 1);
            Add(std::string("Active: ") + TrueFalse(Opened), tiValue, 2);
            Add("Mode: " + ToText(Mode), tiValue, 2);
            currentClientAppID_ = ClientAppID;
            host_.EnumApplications(sink_);
        };
        sink_->OnEnumApplication = [this](std::int32_t ClientAppID, TUSBClientAppType ClientAppType,
                                          const std::string&, const std::string& ExeName) {
            if (ClientAppID != currentClientAppID_)
                return;
            AddInfo("Info", 2);
            Add("ClientAppID: " + std::to_string(ClientAppID), tiValue, 3);
            Add("ClientAppType: " + ToText(ClientAppType), tiValue, 3);
            Add("ClientAppExeName: " + ExeName, tiValue, 3);
        };
    }
    ~TTreeBuild() {
        sink_->OnEnumDevice = std::move(device_);
        sink_->OnEnumConnection = std::move(connection_);
        sink_->OnEnumApplication = std::move(application_);
    }
    TTreeBuild(const TTreeBuild&) = delete;
    TTreeBuild& operator=(const TTreeBuild&) = delete;

    void Run() {
        try {
            host_.EnumDevices(sink_);
        } catch (const std::exception& error) {
            // What was built so far is shown, as a window keeps the nodes it has added.
            ConfDebugString(std::string("TfrmMain.RefreshTree: ") + error.what(), "RUVAzerComm");
        }
    }

    // The first device open with all its descendants, then every information group closed
    // with its descendants.
    std::vector<TDeviceTreeNode> Take() {
        const std::size_t count = nodes_.size();
        auto hasChildren = [&](std::size_t i) {
            return i + 1 < count && nodes_[i + 1].Depth > nodes_[i].Depth;
        };
        for (std::size_t i = 0; i < count && (i == 0 || nodes_[i].Depth > 0); ++i)
            nodes_[i].Expanded = hasChildren(i);
        for (std::size_t info : infoNodes_)
            for (std::size_t i = info;
                 i < count && (i == info || nodes_[i].Depth > nodes_[info].Depth); ++i)
                nodes_[i].Expanded = false;
        return std::move(nodes_);
    }

private:
    void Add(std::string text, int image, int depth) {
        nodes_.push_back({std::move(text), image, depth, false});
    }
    void AddInfo(std::string text, int depth) {
        infoNodes_.push_back(nodes_.size());
        Add(std::move(text), tiInfo, depth);
    }

    TUSB_IFHostBase& host_;
    std::shared_ptr<TZEMBHost> sink_;
    TZEMBHost::TEnumDeviceEvent device_;
    TZEMBHost::TEnumConnectionEvent connection_;
    TZEMBHost::TEnumApplicationEvent application_;
    std::vector<TDeviceTreeNode> nodes_;
    std::vector<std::size_t> infoNodes_;
    std::int32_t currentDevID_ = 0;
    std::int32_t currentClientAppID_ = 0;
};

} // namespace

std::vector<TDeviceTreeNode> RefreshTree(TServerContext& context) {
    TTreeBuild build(context.Host(), context.OwnSink());
    build.Run();
    return build.Take();
}
