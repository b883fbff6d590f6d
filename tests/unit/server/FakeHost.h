// SPDX-License-Identifier: MIT
#pragma once

#include "host/HostOperations.h"

#include <functional>
#include <map>
#include <stdexcept>

// A host with a few devices and connections in memory, enough for the server object's frame
// and log lines. Each operation can be made to throw.
class TFakeHost final : public TUSB_IFHostBase {
public:
    struct Device {
        TUSBDevType Type = dtFenwy;
        std::string LinkName = "usb#vid_10c4&pid_83cc#F1#{GUID}";
        std::uint16_t Firmware = 0x0204;
    };
    struct Connection {
        std::int32_t DevID = 0;
        std::int32_t ClientAppID = 0;
        TUSBDevMode Mode = cmExclusive;
        std::int32_t Written = 0;
        std::int32_t Read = 0;
    };

    std::map<std::int32_t, Device> Devices;
    std::map<std::int32_t, Connection> Connections;
    std::function<void()> ThrowIn; // called at the start of every operation
    std::vector<std::string> Calls;
    bool FailReads = false;

    void Enter(const std::string& call) {
        Calls.push_back(call);
        if (ThrowIn) {
            ThrowIn();
        }
    }

    bool ConnectDevice(std::int32_t ClientAppID, std::int32_t DevID, TUSBDevMode Mode,
                       std::shared_ptr<ZEMB::IZEMBEvent>, std::int32_t& ConnectID,
                       bool& Reconnected) override {
        Enter("ConnectDevice " + std::to_string(Mode));
        Reconnected = false;
        ConnectID = static_cast<std::int32_t>(Connections.size());
        Connections[ConnectID] = Connection{DevID, ClientAppID, Mode, 0, 0};
        return true;
    }
    bool OpenDevice(std::int32_t ConnectID) override {
        Enter("OpenDevice");
        return Connections.count(ConnectID) > 0;
    }
    bool CloseDevice(std::int32_t ConnectID) override {
        Enter("CloseDevice");
        return Connections.count(ConnectID) > 0;
    }
    bool DisconnectDevice(std::int32_t ConnectID) override {
        Enter("DisconnectDevice");
        return Connections.erase(ConnectID) > 0;
    }
    bool WriteBuffer(std::int32_t ConnectID, const ZEMB::TSafeByteArray& WriteData,
                     std::int32_t& WriteCount) override {
        Enter("WriteBuffer");
        auto it = Connections.find(ConnectID);
        if (it == Connections.end()) {
            return false;
        }
        WriteCount = static_cast<std::int32_t>(WriteData.Bytes());
        it->second.Written += WriteCount;
        return true;
    }
    bool ReadBuffer(std::int32_t ConnectID, ZEMB::TSafeByteArray& ReadData,
                    std::int32_t& ReadCount) override {
        Enter("ReadBuffer");
        auto it = Connections.find(ConnectID);
        if (it == Connections.end() || FailReads) {
            ReadCount = 0;
            return false;
        }
        ReadData = ZEMB::TSafeByteArray(std::vector<std::uint8_t>(12, 0x5A));
        ReadCount = 12;
        it->second.Read += ReadCount;
        return true;
    }
    bool DevInfo(std::int32_t DevID, bool& Active, TUSBDevMode&, std::string& LinkName,
                 std::string& FriendlyName, std::string& SerialNumber, std::string& VidPid,
                 std::string& GUID_, std::string&, TUSBDevType& DevType,
                 TUSB_DeviceDriver& DriverType, std::uint16_t& Firmware, std::uint8_t&,
                 std::uint16_t&) override {
        Enter("DevInfo");
        auto it = Devices.find(DevID);
        if (it == Devices.end()) {
            return false;
        }
        Active = true;
        LinkName = it->second.LinkName;
        FriendlyName = "Friendly";
        SerialNumber = "1234";
        VidPid = "vid_10c4&pid_83cc";
        GUID_ = "{GUID}";
        DevType = it->second.Type;
        DriverType = ddWinUSB_ST;
        Firmware = it->second.Firmware;
        return true;
    }
    bool TrafficStat(std::int32_t ConnectID, std::int32_t& TotalWriteCount,
                     std::int32_t& TotalReadCount) override {
        Enter("TrafficStat");
        auto it = Connections.find(ConnectID);
        if (it == Connections.end()) {
            return false;
        }
        TotalWriteCount = it->second.Written;
        TotalReadCount = it->second.Read;
        return true;
    }
    bool EnumDevices(std::int32_t, TUSBDevType) override { return false; }
    bool EnumDevices(std::shared_ptr<ZEMB::IZEMBHost>) override { return false; }
    bool ConnectInfo(std::int32_t ConnectID, std::int32_t& DevID, std::int32_t& ClientAppID,
                     bool& Connected, bool& Active, TUSBDevMode& Mode) override {
        Enter("ConnectInfo");
        auto it = Connections.find(ConnectID);
        if (it == Connections.end()) {
            return false;
        }
        DevID = it->second.DevID;
        ClientAppID = it->second.ClientAppID;
        Connected = true;
        Active = true;
        Mode = it->second.Mode;
        return true;
    }
    bool HookupClientApp(TUSBClientAppType ClientAppType, std::int32_t ProcessID,
                         const std::string& ComputerName, const std::string& ExeName,
                         std::int32_t& ClientAppID) override {
        Enter("HookupClientApp " + std::to_string(ClientAppType) + " " + std::to_string(ProcessID) +
              " " + ComputerName + " " + ExeName);
        ClientAppID = 1;
        return !ExeName.empty();
    }
    bool UnhookClientApp(std::int32_t ClientAppID) override {
        Enter("UnhookClientApp");
        return ClientAppID == 1;
    }
    bool ClientAppInfo(std::int32_t, TUSBClientAppType&, std::string&, std::string&) override {
        return false;
    }
    bool EnumApplications(std::int32_t) override { return true; }
    bool EnumApplications(std::shared_ptr<ZEMB::IZEMBHost>) override { return false; }
    bool EnumConnections(std::int32_t) override { return true; }
    bool EnumConnections(std::shared_ptr<ZEMB::IZEMBHost>) override { return false; }
    bool FirstDevice(TUSBDevType, std::int32_t, TUSBDevMode, std::int32_t&) override {
        return false;
    }
    bool SetZEMBHost(std::int32_t, std::shared_ptr<ZEMB::IZEMBHost>) override { return false; }
    bool TotalBufferSize(std::int32_t, std::int32_t&) override { return false; }
    bool StartSession(std::int32_t ConnectID) override {
        Enter("StartSession");
        return Connections.count(ConnectID) > 0;
    }
    bool EndSession(std::int32_t ConnectID) override {
        Enter("EndSession");
        return Connections.count(ConnectID) > 0;
    }
};
