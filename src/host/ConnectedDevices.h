// SPDX-License-Identifier: MIT
#pragma once

#include "contract/InterfaceTable.h"
#include "usb/LinkDevice.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class TFrmMessageCatch;
class TUSB_ConnectedDevice;

// Adds to a 32-bit counter with wrap-around (defined, unlike signed overflow).
inline std::int32_t WrappingAdd(std::int32_t Counter, std::int32_t Amount) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(Counter) +
                                     static_cast<std::uint32_t>(Amount));
}

// Whether Index is a position in a list of count items; when not, logs the line the list class
// reports for a positional access out of range (where, its message, the index, the count).
bool IndexInList(int Index, std::size_t count, std::string_view where);

// One client's use of one device in one mode.
class TUSB_Connection {
public:
    enum : std::uint8_t { csDisconnected = 0, csConnected = 1, csOpened = 2 };

    std::uint8_t State = csDisconnected;
    std::int32_t ConnectID = -1;
    TUSBDevMode Mode{};
    std::int32_t ClientAppID = -1;
    std::shared_ptr<ZEMB::IZEMBEvent> Callback;
    std::int32_t TotalReadCount = 0;
    std::int32_t TotalWriteCount = 0;
    TUSB_ConnectedDevice* ConnectedDevice = nullptr;

    // Opens or closes the device for this connection; the device handle is opened by the
    // first connection that opens it and closed by the last one that closes it.
    bool SetOpen(bool Open);
};

// One physical device, present or not, and every connection ever made to it.
class TUSB_ConnectedDevice {
public:
    TUSB_IFDeviceBase* Device = nullptr; // not owned; none while the device is away
    std::string LinkName;
    std::string FriendlyName;
    std::string SerialNumber;
    std::string VidPid;
    std::string GUID_;
    std::string UserDeviceName;
    TUSBDevType DevType{};
    TUSB_DeviceDriver DriverType{};
    std::uint16_t Firmware = 0;
    std::int32_t DevID = -1;
    std::vector<std::unique_ptr<TUSB_Connection>> Connections;
    bool Busy = false;
    double SessionStart = 0; // days; 0 = no session
    std::int32_t SessionConnectID = 0;

    TUSB_Connection* GetConnectionFromIndex(int Index);
    TUSB_Connection* FindConnection(std::int32_t ConnectID);
    bool AnyOpen() const;
    // Closes the device's handle when it is open and no connection has it open any more (a
    // client let go of its connection while an operation on the device was running).
    void CloseIfUnused();
    bool StartSession(std::int32_t ConnectID);
    bool EndSession();
    // Identity: the six texts (exact), DevType, DriverType and Firmware.
    bool SameIdentity(const TUSB_IFDeviceBase& Device) const;

private:
    friend class TUSB_ConnectedDevices;
    friend class TUSB_Connection;
    class TUSB_ConnectedDevices* owner_ = nullptr;
};

// The record of every device seen and every connection made while the process runs.
class TUSB_ConnectedDevices {
public:
    // Time in days; the session rules compare differences of it. Tests inject a fake clock
    // and a sleep that advances it.
    using TClock = std::function<double()>;
    using TSleep = std::function<void(std::chrono::milliseconds)>;

    TUSB_ConnectedDevices();

    std::int32_t NextDevID = 0;
    std::int32_t NextConnectID = 0;
    // The device-change window that sessions lock; none until the first host exists.
    TFrmMessageCatch* MessageCatch = nullptr;
    TClock Now;
    TSleep Sleep;
    // Reconnects that reused a connection (the client's new callback was let go); the server
    // object reports and lowers it.
    std::int32_t StrayInterfaceCount = 0;
    // Runs the action right after the job the device's worker is running now; false when none
    // runs. A handle is closed through it, so that no transfer uses it after the close.
    std::function<bool(TUSB_ConnectedDevice&, std::function<void()>)> AfterRunningJob;

    TUSB_ConnectedDevice* DeviceInserted(TUSB_IFDeviceBase& Device);
    bool DeviceDetached(TUSB_IFDeviceBase& Device);
    TUSB_ConnectedDevice* FindConnectedDevice(const TUSB_IFDeviceBase& Device);
    TUSB_Connection* FindConnection(std::int32_t ConnectID);
    TUSB_ConnectedDevice* ConnectedDeviceOfConnection(std::int32_t ConnectID);
    bool CanConnect(const TUSB_IFDeviceBase& Device, std::int32_t ClientAppID, TUSBDevMode Mode);
    TUSB_Connection* AddConnection(std::int32_t ClientAppID, TUSBDevMode Mode, bool& Reconnected,
                                   std::shared_ptr<ZEMB::IZEMBEvent> Callback,
                                   TUSB_IFDeviceBase& Device);
    void RemoveConnections(std::int32_t ClientAppID);
    // Marks every entry busy and waits (up to 10 s per entry) for running sessions to end.
    // False when a session stays open: the entries are freed again and no scan may run.
    bool WaitForSessions();
    void ClearBusy();

    int Count() const { return static_cast<int>(items_.size()); }
    const std::vector<std::unique_ptr<TUSB_ConnectedDevice>>& Items() const { return items_; }

private:
    std::vector<std::unique_ptr<TUSB_ConnectedDevice>> items_;
    // Every connection ever made, by ConnectID: records stay (disconnected ones too), and a
    // lookup costs the same however many there are. An identifier given twice (only after the
    // counter wrapped) keeps the connection first made with it.
    std::unordered_map<std::int32_t, TUSB_Connection*> byConnectID_;
};

// "(Inserted: CloseDevice)(ConnectID 4)(ClientAppID 2):  ok" to the group "RUVAzerLogDevOp".
void LogDevOp(const std::string& Text, std::int32_t ConnectID, std::int32_t ClientAppID, bool Ok);

// Days since an arbitrary start, from the steady clock.
double SteadyNowInDays();
