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
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

using namespace ZEMB;

namespace {

const char* TrueFalse(bool value) {
    return value ? "True" : "False";
}

struct TDeviceItem {
    std::int32_t DevID;
    bool Active;
    std::string LinkName, SerialNumber, VidPid;
    TUSBDevType DevType;
    TUSB_DeviceDriver DriverType;
    std::uint16_t Firmware;
};
struct TConnectionItem {
    std::int32_t ConnectID, DevID, ClientAppID;
    bool Opened;
    TUSBDevMode Mode;
};
struct TClientItem {
    std::int32_t ClientAppID;
    TUSBClientAppType ClientAppType;
    std::string ExeName;
};

// The window's handlers while one tree is read; the sink's earlier handlers come back after,
// so that it answers as before to every other caller. Each list is enumerated once and the
// tree put together from the three: the window's way, the connections enumerated again for
// every device and the clients for every connection, gives the same nodes but grows with
// devices times connections.
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
                devices_.push_back(
                    {DevID, Active, LinkName, SerialNumber, VidPid, DevType, DriverType, Firmware});
            };
        // A connection that is disconnected (its device gone, or ended) is not shown.
        sink_->OnEnumConnection = [this](std::int32_t ConnectID, std::int32_t DevID,
                                         std::int32_t ClientAppID, bool Connected, bool Opened,
                                         TUSBDevMode Mode) {
            if (Connected)
                connections_.push_back({ConnectID, DevID, ClientAppID, Opened, Mode});
        };
        sink_->OnEnumApplication = [this](std::int32_t ClientAppID, TUSBClientAppType ClientAppType,
                                          const std::string&, const std::string& ExeName) {
            clients_.push_back({ClientAppID, ClientAppType, ExeName});
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
            if (!devices_.empty()) {
                host_.EnumConnections(sink_);
                if (!connections_.empty())
                    host_.EnumApplications(sink_);
            }
        } catch (const std::exception& error) {
            // What was read so far is shown, as a window keeps the nodes it has added.
            ConfDebugString(std::string("TfrmMain.RefreshTree: ") + error.what(), "RUVAzerComm");
        }
    }

    // Each device with its information and its connections, each connection with its client;
    // then the first device open with all its descendants, and every information group closed
    // with its descendants.
    std::vector<TDeviceTreeNode> Take() {
        std::unordered_map<std::int32_t, std::vector<const TConnectionItem*>> byDevice;
        for (const TConnectionItem& c : connections_)
            byDevice[c.DevID].push_back(&c);
        std::unordered_map<std::int32_t, const TClientItem*> clients;
        for (const TClientItem& c : clients_)
            clients.emplace(c.ClientAppID, &c);
        for (const TDeviceItem& d : devices_) {
            Add("DevID: " + std::to_string(d.DevID), tiDevice, 0);
            Add(std::string("Active: ") + TrueFalse(d.Active), tiValue, 1);
            AddInfo("Info:", 1);
            Add("SerialNumber: " + d.SerialNumber, tiValue, 2);
            Add("VidPid: " + d.VidPid, tiValue, 2);
            Add("DevType: " + ToText(d.DevType), tiValue, 2);
            Add("DriverType: " + ToText(d.DriverType), tiValue, 2);
            Add("Firmware: " + FirmwareText(d.Firmware), tiValue, 2);
            Add("LinkName: " + d.LinkName, tiValue, 2);
            for (const TConnectionItem* c : byDevice[d.DevID]) {
                Add("ConnectID: " + std::to_string(c->ConnectID), tiConnection, 1);
                Add(std::string("Active: ") + TrueFalse(c->Opened), tiValue, 2);
                Add("Mode: " + ToText(c->Mode), tiValue, 2);
                const auto client = clients.find(c->ClientAppID);
                if (client == clients.end())
                    continue;
                AddInfo("Info", 2);
                Add("ClientAppID: " + std::to_string(client->second->ClientAppID), tiValue, 3);
                Add("ClientAppType: " + ToText(client->second->ClientAppType), tiValue, 3);
                Add("ClientAppExeName: " + client->second->ExeName, tiValue, 3);
            }
        }
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
    std::vector<TDeviceItem> devices_;
    std::vector<TConnectionItem> connections_;
    std::vector<TClientItem> clients_;
    std::vector<TDeviceTreeNode> nodes_;
    std::vector<std::size_t> infoNodes_;
};

} // namespace

std::vector<TDeviceTreeNode> RefreshTree(TServerContext& context) {
    TTreeBuild build(context.Host(), context.OwnSink());
    build.Run();
    return build.Take();
}
