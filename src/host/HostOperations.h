// SPDX-License-Identifier: MIT
#pragma once

#include "contract/InterfaceTable.h"
#include "host/ClientRegistry.h"
#include "host/ConnectedDevices.h"
#include "host/DeviceChangeWindow.h"
#include "host/DeviceQueue.h"
#include "usb/DeviceGrid.h"
#include "usb/LinkDevice.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// A client's callback answered with a failure status; raised at once, so the remaining
// items of an enumeration or notification are not reported.
class EOleSysError : public std::runtime_error {
public:
    explicit EOleSysError(ZEMB::HRESULT Status);
    ZEMB::HRESULT ErrorCode() const { return status_; }

private:
    ZEMB::HRESULT status_;
};

// Which client types may connect to which device types, [DevType][ClientAppType].
bool AccessAllowed(TUSBDevType DevType, TUSBClientAppType ClientAppType);

// What the container is built with; tests give fakes for the device scan, the process list and
// the session clock. Empty members mean the real ones.
struct TUSB_IFHostSeams {
    // Fills a fresh grid with one new device object per attached device.
    std::function<void(TUSB_IFDeviceGrid&)> Scan;
    TUSB_HookedUpClientApps::TProcessListFactory ProcessList;
    TUSB_ConnectedDevices::TClock Now;
    TUSB_ConnectedDevices::TSleep Sleep;
};

// The container: the device grid, the record of devices and connections and the client
// registry. The process has one, made by main with its first device scan; it rescans when its
// device-change window reports a change. The window must outlive it.
class TUSB_IFHostContainer {
public:
    using TDeviceEvent = std::function<void(std::int32_t DevID)>;
    using TScanner = std::function<void(TUSB_IFDeviceGrid&)>;
    // Lets a rescan's callbacks to all clients leave at once: after Begin a callback returns as
    // soon as it is sent; End waits until every one is answered or timed out and gives the
    // failed ones (callback name and status). Without them every callback waits for its answer.
    struct TCallGroup {
        std::function<void()> Begin;
        std::function<std::vector<std::pair<std::string, ZEMB::HRESULT>>()> End;
    };

    explicit TUSB_IFHostContainer(TFrmMessageCatch& MessageCatch, TUSB_IFHostSeams Seams = {});
    ~TUSB_IFHostContainer();
    TUSB_IFHostContainer(const TUSB_IFHostContainer&) = delete;
    TUSB_IFHostContainer& operator=(const TUSB_IFHostContainer&) = delete;

    // Declared in reverse order of freeing: the registry goes first, the grid last.
    TUSB_IFDeviceGrid Devices;
    TUSB_ConnectedDevices ConnectedDevices;
    TUSB_HookedUpClientApps ClientApps;
    // Each device's operations, one at a time, transfers on the device's worker; freed first,
    // so that no worker outlives a device object.
    TDeviceScheduler Workers;
    TDeviceEvent OnDeviceAdopted;
    TDeviceEvent OnDeviceDropped;
    TScanner Scan;
    TCallGroup CallGroup;

    TFrmMessageCatch& MessageCatch() { return messageCatch_; }

    // Builds a fresh picture of the attached devices and reconciles it with the grid:
    // removed devices are dropped (their clients told), new and returning ones adopted.
    // True when a device was dropped or adopted. Skipped (false) while a session stays open.
    // Every client is told; one whose callback fails is logged and skipped.
    bool RescanDevices();
    // The same for a device change while the loop runs: the devices are identified on a worker
    // of their own (a silent one costs its time-outs there), the loop serves on meanwhile with
    // the grid as it was and device operations held, and the grid is reconciled on the main
    // thread when the identification is through. A change that comes meanwhile rescans again
    // afterwards.
    void RescanDevicesAside();
    // Column by column (ddSilabs first), type by type: the last device with that DevID.
    TUSB_IFDeviceBase* FindDevice(std::int32_t DevID);

    // Lets go of callbacks that can never be answered again (their client left the bus): a
    // client whose sink is one of Sinks gets none, a connection whose callback is one of
    // Events gets none. Registrations and connections stay.
    void ForgetCallbacks(const std::vector<std::shared_ptr<ZEMB::IZEMBHost>>& Sinks,
                         const std::vector<std::shared_ptr<ZEMB::IZEMBEvent>>& Events);

private:
    // A device change while jobs run waits for them; device operations asked meanwhile wait
    // behind it.
    void DeviceChangeAfterJobs();
    bool rescanWaiting_ = false;
    bool scanning_ = false;  // a rescan identifies devices aside
    bool scanAgain_ = false; // and a device change came meanwhile

    // The parts of a rescan around the scan: sessions waited for, device operations held,
    // open devices closed; then reopened, the grid reconciled with fresh (when the scan went
    // through), the hold released and the clients' answers awaited.
    bool BeginRescan();
    bool FinishRescan(TUSB_IFDeviceGrid* fresh);

    void DropDevice(TUSB_IFDeviceCollection& Cell, TUSB_IFDeviceBase& Device);
    void AdoptDevice(TUSB_IFDeviceCollection& From, TUSB_IFDeviceBase& Device);

    TFrmMessageCatch& messageCatch_;
};

// The outcome of a device operation that finishes later: Ok; for a transfer the bytes moved
// (the whole array when the transfer raised) and the array; an error the operation raised.
struct TDeviceResult {
    bool Ok = false;
    std::int32_t Count = 0;
    ZEMB::TSafeByteArray Data;
    std::exception_ptr Error;
};
using TDeviceDone = std::function<void(TDeviceResult& Result)>;

// The 23 host operations, in slot order. Every operation reports its outcome as a Boolean.
class TUSB_IFHostBase {
public:
    virtual ~TUSB_IFHostBase() = default;

    // The operations that touch a device, finishing later: Done runs on the main thread when
    // the operation is through, after the ones asked before it on the same device. This one
    // runs the operation at once and Done before it returns.
    virtual void OpenDeviceLater(std::int32_t ConnectID, TDeviceDone Done);
    virtual void CloseDeviceLater(std::int32_t ConnectID, TDeviceDone Done);
    virtual void DisconnectDeviceLater(std::int32_t ConnectID, TDeviceDone Done);
    virtual void WriteBufferLater(std::int32_t ConnectID, ZEMB::TSafeByteArray WriteData,
                                  TDeviceDone Done);
    virtual void ReadBufferLater(std::int32_t ConnectID, ZEMB::TSafeByteArray ReadData,
                                 TDeviceDone Done);

    virtual bool ConnectDevice(std::int32_t ClientAppID, std::int32_t DevID, TUSBDevMode Mode,
                               std::shared_ptr<ZEMB::IZEMBEvent> Callback, std::int32_t& ConnectID,
                               bool& Reconnected) = 0;
    virtual bool OpenDevice(std::int32_t ConnectID) = 0;
    virtual bool CloseDevice(std::int32_t ConnectID) = 0;
    virtual bool DisconnectDevice(std::int32_t ConnectID) = 0;
    virtual bool WriteBuffer(std::int32_t ConnectID, const ZEMB::TSafeByteArray& WriteData,
                             std::int32_t& WriteCount) = 0;
    virtual bool ReadBuffer(std::int32_t ConnectID, ZEMB::TSafeByteArray& ReadData,
                            std::int32_t& ReadCount) = 0;
    virtual bool DevInfo(std::int32_t DevID, bool& Active, TUSBDevMode& Mode, std::string& LinkName,
                         std::string& FriendlyName, std::string& SerialNumber, std::string& VidPid,
                         std::string& GUID_, std::string& UserDeviceName, TUSBDevType& DevType,
                         TUSB_DeviceDriver& DriverType, std::uint16_t& Firmware,
                         std::uint8_t& App_ID_Hardware_Revision,
                         std::uint16_t& Meas_App_FPGA_Rev) = 0;
    virtual bool TrafficStat(std::int32_t ConnectID, std::int32_t& TotalWriteCount,
                             std::int32_t& TotalReadCount) = 0;
    virtual bool EnumDevices(std::int32_t ClientAppID, TUSBDevType DevType) = 0;
    virtual bool EnumDevices(std::shared_ptr<ZEMB::IZEMBHost> Sink) = 0;
    virtual bool ConnectInfo(std::int32_t ConnectID, std::int32_t& DevID, std::int32_t& ClientAppID,
                             bool& Connected, bool& Active, TUSBDevMode& Mode) = 0;
    virtual bool HookupClientApp(TUSBClientAppType ClientAppType, std::int32_t ProcessID,
                                 const std::string& ComputerName, const std::string& ExeName,
                                 std::int32_t& ClientAppID) = 0;
    virtual bool UnhookClientApp(std::int32_t ClientAppID) = 0;
    virtual bool ClientAppInfo(std::int32_t ClientAppID, TUSBClientAppType& ClientAppType,
                               std::string& ComputerName, std::string& ExeName) = 0;
    virtual bool EnumApplications(std::int32_t ClientAppID) = 0;
    virtual bool EnumApplications(std::shared_ptr<ZEMB::IZEMBHost> Sink) = 0;
    virtual bool EnumConnections(std::int32_t ClientAppID) = 0;
    virtual bool EnumConnections(std::shared_ptr<ZEMB::IZEMBHost> Sink) = 0;
    virtual bool FirstDevice(TUSBDevType DevType, std::int32_t ClientAppID, TUSBDevMode Mode,
                             std::int32_t& DevID) = 0;
    virtual bool SetZEMBHost(std::int32_t ClientAppID, std::shared_ptr<ZEMB::IZEMBHost> Sink) = 0;
    virtual bool TotalBufferSize(std::int32_t DevID, std::int32_t& Value) = 0;
    virtual bool StartSession(std::int32_t ConnectID) = 0;
    virtual bool EndSession(std::int32_t ConnectID) = 0;
};

// The one implementation: every host object works on the container it is given, so any number
// of them behave alike. The constructor installs the container's device notifications.
class TUSB_IFHostLocal : public TUSB_IFHostBase {
public:
    explicit TUSB_IFHostLocal(TUSB_IFHostContainer& Container);

    bool ConnectDevice(std::int32_t ClientAppID, std::int32_t DevID, TUSBDevMode Mode,
                       std::shared_ptr<ZEMB::IZEMBEvent> Callback, std::int32_t& ConnectID,
                       bool& Reconnected) override;
    bool OpenDevice(std::int32_t ConnectID) override;
    bool CloseDevice(std::int32_t ConnectID) override;
    bool DisconnectDevice(std::int32_t ConnectID) override;
    bool WriteBuffer(std::int32_t ConnectID, const ZEMB::TSafeByteArray& WriteData,
                     std::int32_t& WriteCount) override;
    bool ReadBuffer(std::int32_t ConnectID, ZEMB::TSafeByteArray& ReadData,
                    std::int32_t& ReadCount) override;
    bool DevInfo(std::int32_t DevID, bool& Active, TUSBDevMode& Mode, std::string& LinkName,
                 std::string& FriendlyName, std::string& SerialNumber, std::string& VidPid,
                 std::string& GUID_, std::string& UserDeviceName, TUSBDevType& DevType,
                 TUSB_DeviceDriver& DriverType, std::uint16_t& Firmware,
                 std::uint8_t& App_ID_Hardware_Revision, std::uint16_t& Meas_App_FPGA_Rev) override;
    bool TrafficStat(std::int32_t ConnectID, std::int32_t& TotalWriteCount,
                     std::int32_t& TotalReadCount) override;
    bool EnumDevices(std::int32_t ClientAppID, TUSBDevType DevType) override;
    bool EnumDevices(std::shared_ptr<ZEMB::IZEMBHost> Sink) override;
    bool ConnectInfo(std::int32_t ConnectID, std::int32_t& DevID, std::int32_t& ClientAppID,
                     bool& Connected, bool& Active, TUSBDevMode& Mode) override;
    bool HookupClientApp(TUSBClientAppType ClientAppType, std::int32_t ProcessID,
                         const std::string& ComputerName, const std::string& ExeName,
                         std::int32_t& ClientAppID) override;
    bool UnhookClientApp(std::int32_t ClientAppID) override;
    bool ClientAppInfo(std::int32_t ClientAppID, TUSBClientAppType& ClientAppType,
                       std::string& ComputerName, std::string& ExeName) override;
    bool EnumApplications(std::int32_t ClientAppID) override;
    bool EnumApplications(std::shared_ptr<ZEMB::IZEMBHost> Sink) override;
    bool EnumConnections(std::int32_t ClientAppID) override;
    bool EnumConnections(std::shared_ptr<ZEMB::IZEMBHost> Sink) override;
    bool FirstDevice(TUSBDevType DevType, std::int32_t ClientAppID, TUSBDevMode Mode,
                     std::int32_t& DevID) override;
    bool SetZEMBHost(std::int32_t ClientAppID, std::shared_ptr<ZEMB::IZEMBHost> Sink) override;
    bool TotalBufferSize(std::int32_t DevID, std::int32_t& Value) override;
    bool StartSession(std::int32_t ConnectID) override;
    bool EndSession(std::int32_t ConnectID) override;
    void OpenDeviceLater(std::int32_t ConnectID, TDeviceDone Done) override;
    void CloseDeviceLater(std::int32_t ConnectID, TDeviceDone Done) override;
    void DisconnectDeviceLater(std::int32_t ConnectID, TDeviceDone Done) override;
    void WriteBufferLater(std::int32_t ConnectID, ZEMB::TSafeByteArray WriteData,
                          TDeviceDone Done) override;
    void ReadBufferLater(std::int32_t ConnectID, ZEMB::TSafeByteArray ReadData,
                         TDeviceDone Done) override;

    // Tell every client with a sink, in registry order; a failure status raises EOleSysError
    // and the remaining clients are not told.
    void NotifyDeviceAdded(std::int32_t DevID);
    void NotifyDeviceRemoved(std::int32_t DevID);

private:
    // Queues operation on the device of the connection; runs it at once for an unknown one.
    void QueueOnDevice(std::int32_t ConnectID, TDeviceOperation operation);
    void TransferLater(std::int32_t ConnectID, ZEMB::TSafeByteArray Data, bool Write,
                       TDeviceDone Done);
    // The close of a connection's device (and its disconnection with Disconnect): a job that
    // closes the handle on the device's worker when the connection is the last one that has it
    // open, otherwise answered at once.
    std::optional<TDeviceJob> CloseJob(std::int32_t ConnectID, bool Disconnect,
                                       const TDeviceDone& Done);

    TUSB_IFHostContainer& container_;
};

// The device layer's process-wide change notification: raised after every change of devices,
// connections or client applications; the operator window redraws its tree on it.
using TNotifyEvent = std::function<void(void* Sender)>;
TNotifyEvent SetDevicesChangeNotification(TNotifyEvent Handler);
void RaiseDevicesChangeNotification();
