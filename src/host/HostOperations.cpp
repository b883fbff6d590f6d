// SPDX-License-Identifier: MIT
#include "host/HostOperations.h"

#include "base/DebugLog.h"
#include "host/DeviceMonitor.h"

#include <algorithm>
#include <cstdio>
#include <limits>

using namespace ZEMB;

namespace {

std::unique_ptr<TUSB_IFHostContainer> gContainer;
std::unique_ptr<TFrmMessageCatch> gMessageCatch;
std::unique_ptr<TDeviceChangeMonitor> gMonitor;
TUSB_IFHostSeams gSeams;
TNotifyEvent gDevicesChanged;

constexpr TUSB_DeviceDriver Columns[] = {ddSilabs, ddWinUSB_Silabs, ddWinUSB_ST};
constexpr TUSBDevType Rows[] = {dtNotRecognized, dtBrisk, dtMirel, dtFenwy, dtCorra};

// Rows are TUSBDevType, columns TUSBClientAppType.
constexpr bool AccessTable[DevTypeCount][5] = {
    {false, true, false, false, false}, // dtNotRecognized
    {false, true, false, false, false}, // dtBrisk
    {false, true, true, true, false},   // dtMirel
    {false, true, true, true, false},   // dtFenwy
    {false, true, false, false, true},  // dtCorra
};

bool ValidDevType(TUSBDevType DevType) {
    return DevType < DevTypeCount;
}

std::string StatusText(HRESULT status) {
    char text[64];
    std::snprintf(text, sizeof text, "OLE error %08X", static_cast<unsigned>(status));
    return text;
}

// Raises the client's failure status as an error at once.
void Check(HRESULT status) {
    if (FAILED(status))
        throw EOleSysError(status);
}

// An error from a device operation or a client inside the guarded operations gives false.
template <typename Body> bool Guarded(Body&& body) {
    try {
        return body();
    } catch (...) {
        return false;
    }
}

TUSB_IFHostContainer& Container() {
    return EnsureHostContainer();
}

// Opens or closes the device of a connection.
bool SetOpen(std::int32_t ConnectID, bool Open) {
    return Guarded([&] {
        TUSB_Connection* connection = Container().ConnectedDevices.FindConnection(ConnectID);
        return connection && connection->SetOpen(Open);
    });
}

void EnumDevicesOfCell(TUSB_IFDeviceCollection& cell, IZEMBHost& sink) {
    // By index: a client's callback may call back into the server while it runs.
    for (int i = 0; i < cell.Count(); ++i) {
        TUSB_IFDeviceBase* device = cell.Items(i);
        if (!device)
            continue;
        bool result = false;
        Check(sink.EnumDevice(device->DevID, result));
    }
}

void EnumConnectionsTo(TUSB_ConnectedDevices& list, IZEMBHost& sink) {
    for (std::size_t e = 0; e < list.Items().size(); ++e) {
        auto& entry = *list.Items()[e];
        for (std::size_t c = 0; c < entry.Connections.size(); ++c) {
            bool result = false;
            Check(sink.EnumConnection(entry.Connections[c]->ConnectID, result));
        }
    }
}

// The sink a client application set, held for an enumeration (its callbacks may take it off
// the client meanwhile); none for an unknown client or one without a sink.
std::shared_ptr<IZEMBHost> SinkOf(TUSB_HookedUpClientApps& apps, std::int32_t ClientAppID) {
    TUSB_HookedUpClientApp* client = apps.FindClientApp(ClientAppID);
    return client ? client->ZEMBHost : nullptr;
}

void EnumApplicationsTo(TUSB_HookedUpClientApps& apps, IZEMBHost& sink) {
    for (std::size_t i = 0; i < apps.Items().size(); ++i) {
        bool result = false;
        Check(sink.EnumApplication(apps.Items()[i]->ClientAppID, result));
    }
}

template <typename Call> void NotifySinks(Call&& call) {
    TUSB_HookedUpClientApps& apps = Container().ClientApps;
    for (std::size_t i = 0; i < apps.Items().size(); ++i) {
        // Held for the call: the client may unhook itself from inside its callback.
        std::shared_ptr<IZEMBHost> sink = apps.Items()[i]->ZEMBHost;
        if (sink)
            Check(call(*sink));
    }
}

// One transfer on a connection's device, as many bytes as the array holds (at most 4 GiB - 1):
// the count is the whole array while the device works and what it moved afterwards, even when
// it failed, and is added to the connection's total.
template <class TTransfer>
bool Transfer(TUSB_Connection* connection, std::size_t bytes, std::int32_t& Count,
              std::int32_t TUSB_Connection::*Total, TTransfer transfer) {
    if (!connection || !connection->ConnectedDevice || !connection->ConnectedDevice->Device)
        return false;
    if (bytes > std::numeric_limits<std::uint32_t>::max())
        return false;
    const auto count = static_cast<std::uint32_t>(bytes);
    std::uint32_t moved = count;
    Count = static_cast<std::int32_t>(count);
    const bool ok = transfer(*connection->ConnectedDevice->Device, count, moved);
    Count = static_cast<std::int32_t>(moved);
    connection->*Total = WrappingAdd(connection->*Total, Count);
    return ok;
}

} // namespace

EOleSysError::EOleSysError(HRESULT Status)
    : std::runtime_error(StatusText(Status)), status_(Status) {}

bool AccessAllowed(TUSBDevType DevType, TUSBClientAppType ClientAppType) {
    if (!ValidDevType(DevType) || ClientAppType >= 5)
        return false;
    return AccessTable[DevType][ClientAppType];
}

TNotifyEvent SetDevicesChangeNotification(TNotifyEvent Handler) {
    TNotifyEvent previous = std::move(gDevicesChanged);
    gDevicesChanged = std::move(Handler);
    return previous;
}

void RaiseDevicesChangeNotification() {
    if (gDevicesChanged)
        gDevicesChanged(nullptr);
}

TUSB_IFHostContainer::TUSB_IFHostContainer(TScanner Scanner,
                                           TUSB_HookedUpClientApps::TProcessListFactory ProcessList)
    : ClientApps(ConnectedDevices, std::move(ProcessList)), Scan(std::move(Scanner)) {
    if (!Scan)
        Scan = [](TUSB_IFDeviceGrid& grid) { grid.RescanAll(); };
    ConnectedDevices.MessageCatch = gMessageCatch.get();
}

TUSB_IFDeviceBase* TUSB_IFHostContainer::FindDevice(std::int32_t DevID) {
    TUSB_IFDeviceBase* found = nullptr;
    for (TUSB_DeviceDriver column : Columns)
        for (TUSBDevType row : Rows) {
            const TUSB_IFDeviceCollection& cell = Devices.Cell(row, column);
            for (int i = 0; i < cell.Count(); ++i)
                if (TUSB_IFDeviceBase* device = cell.Items(i); device && device->DevID == DevID)
                    found = device;
        }
    return found;
}

void TUSB_IFHostContainer::DropDevice(TUSB_IFDeviceCollection& Cell, TUSB_IFDeviceBase& Device) {
    if (OnDeviceDropped) {
        try {
            OnDeviceDropped(Device.DevID);
        } catch (...) {
        }
    }
    ConnectedDevices.DeviceDetached(Device);
    Cell.Delete(&Device);
    RaiseDevicesChangeNotification();
}

void TUSB_IFHostContainer::AdoptDevice(TUSB_IFDeviceCollection& From, TUSB_IFDeviceBase& Device) {
    const TUSBDevType row = ValidDevType(Device.DevType) ? Device.DevType : dtNotRecognized;
    const TUSB_DeviceDriver column =
        Device.DriverType < DeviceDriverCount ? Device.DriverType : ddSilabs;
    TUSB_IFDeviceBase& moved = *Devices.Cell(row, column).Adopt(From.Extract(&Device));
    ConnectedDevices.DeviceInserted(moved);
    if (OnDeviceAdopted) {
        try {
            OnDeviceAdopted(moved.DevID);
        } catch (...) {
        }
    }
    RaiseDevicesChangeNotification();
}

bool TUSB_IFHostContainer::RescanDevices() {
    if (!ConnectedDevices.WaitForSessions())
        return false;
    struct TClearBusy {
        TUSB_ConnectedDevices& list;
        ~TClearBusy() { list.ClearBusy(); }
    } clearBusy{ConnectedDevices};

    for (TUSB_DeviceDriver column : Columns)
        for (TUSBDevType row : Rows)
            Devices.Cell(row, column).CloseOpenDevices();
    // The fresh picture; freed with whatever it still holds when the scan ends.
    TUSB_IFDeviceGrid fresh;
    Scan(fresh);
    for (TUSB_DeviceDriver column : Columns)
        for (TUSBDevType row : Rows)
            Devices.Cell(row, column).ReopenClosedDevices();

    bool changed = false;
    for (TUSB_DeviceDriver column : Columns)
        for (TUSBDevType row : Rows) {
            TUSB_IFDeviceCollection& cell = Devices.Cell(row, column);
            TUSB_IFDeviceCollection& found = fresh.Cell(row, column);
            int position = 0;
            while (position < cell.Count()) {
                TUSB_IFDeviceBase* device = cell.Items(position);
                TUSB_IFDeviceBase* same = nullptr;
                for (int i = 0; i < found.Count() && !same; ++i)
                    if (found.Items(i)->SerialNumber == device->SerialNumber)
                        same = found.Items(i);
                if (same) {
                    found.Delete(same);
                    ++position;
                } else {
                    DropDevice(cell, *device);
                    changed = true;
                }
            }
            while (found.Count() > 0) {
                AdoptDevice(found, *found.Items(0));
                changed = true;
            }
        }
    return changed;
}

TUSB_IFHostContainer* USB_IFHostContainer() {
    return gContainer.get();
}

TUSB_IFHostContainer& EnsureHostContainer() {
    if (!gContainer) {
        gContainer = std::make_unique<TUSB_IFHostContainer>(gSeams.Scan, gSeams.ProcessList);
        if (gSeams.Now)
            gContainer->ConnectedDevices.Now = gSeams.Now;
        if (gSeams.Sleep)
            gContainer->ConnectedDevices.Sleep = gSeams.Sleep;
        gContainer->RescanDevices();
    }
    return *gContainer;
}

TFrmMessageCatch* FrmMessageCatch() {
    return gMessageCatch.get();
}

void SetHostSeams(TUSB_IFHostSeams Seams) {
    gSeams = std::move(Seams);
}

void FreeUSB_IFHost() {
    gMonitor.reset();
    gContainer.reset();
    gMessageCatch.reset();
}

std::unique_ptr<TUSB_IFHostLocal> CreateHost() {
    if (!gMessageCatch) {
        gMessageCatch = std::make_unique<TFrmMessageCatch>();
        // What a device change triggers: a rescan; Changed reports whether the grid changed.
        gMessageCatch->OnDevicesChanged = [](bool& Changed) {
            Changed = EnsureHostContainer().RescanDevices();
        };
        if (gContainer)
            gContainer->ConnectedDevices.MessageCatch = gMessageCatch.get();
    }
    return std::make_unique<TUSB_IFHostLocal>();
}

bool StartDeviceChangeMonitor(sd_event* Loop) {
    gMonitor.reset();
    auto monitor = std::make_unique<TDeviceChangeMonitor>(Loop, [] {
        if (TFrmMessageCatch* window = FrmMessageCatch())
            window->WMDeviceChange();
    });
    if (!monitor->Started())
        return false;
    gMonitor = std::move(monitor);
    return true;
}

void StopDeviceChangeMonitor() {
    gMonitor.reset();
}

const TDeviceChangeMonitor* DeviceChangeMonitor() {
    return gMonitor.get();
}

TUSB_IFHostLocal::TUSB_IFHostLocal() {
    TUSB_IFHostContainer& container = EnsureHostContainer();
    // The handlers hold no host state, so a later host object replacing them changes nothing.
    container.OnDeviceAdopted = [](std::int32_t DevID) {
        TUSB_IFHostLocal::NotifySinksAdded(DevID);
    };
    container.OnDeviceDropped = [](std::int32_t DevID) {
        TUSB_IFHostLocal::NotifySinksRemoved(DevID);
    };
}

void TUSB_IFHostLocal::NotifySinksAdded(std::int32_t DevID) {
    NotifySinks([DevID](IZEMBHost& sink) {
        bool result = false;
        return sink.DeviceAdded(DevID, result);
    });
}

void TUSB_IFHostLocal::NotifySinksRemoved(std::int32_t DevID) {
    NotifySinks([DevID](IZEMBHost& sink) {
        bool result = false;
        return sink.DeviceRemoved(DevID, result);
    });
}

void TUSB_IFHostLocal::NotifyDeviceAdded(std::int32_t DevID) {
    NotifySinksAdded(DevID);
}
void TUSB_IFHostLocal::NotifyDeviceRemoved(std::int32_t DevID) {
    NotifySinksRemoved(DevID);
}

void TUSB_IFHostLocal::ForgetCallbacks(const std::vector<std::shared_ptr<IZEMBHost>>& Sinks,
                                       const std::vector<std::shared_ptr<IZEMBEvent>>& Events) {
    TUSB_IFHostContainer* container = USB_IFHostContainer();
    if (!container)
        return;
    // A call that runs on one of them holds its own reference, so dropping it here is safe
    // even from inside that call.
    for (const auto& client : container->ClientApps.Items())
        if (client->ZEMBHost && std::ranges::find(Sinks, client->ZEMBHost) != Sinks.end())
            client->ZEMBHost.reset();
    for (const auto& entry : container->ConnectedDevices.Items())
        for (const auto& connection : entry->Connections)
            if (connection->Callback &&
                std::ranges::find(Events, connection->Callback) != Events.end())
                connection->Callback.reset();
}

bool TUSB_IFHostLocal::ConnectDevice(std::int32_t ClientAppID, std::int32_t DevID, TUSBDevMode Mode,
                                     std::shared_ptr<IZEMBEvent> Callback, std::int32_t& ConnectID,
                                     bool& Reconnected) {
    Reconnected = false;
    ConnectID = -1;
    TUSB_IFHostContainer& container = Container();
    TUSB_HookedUpClientApp* client = container.ClientApps.FindClientApp(ClientAppID);
    TUSB_IFDeviceBase* device = container.FindDevice(DevID);
    if (!client || !device || !AccessAllowed(device->DevType, client->ClientAppType))
        return false;
    if (!container.ConnectedDevices.CanConnect(*device, ClientAppID, Mode))
        return false;
    TUSB_Connection* connection = container.ConnectedDevices.AddConnection(
        ClientAppID, Mode, Reconnected, std::move(Callback), *device);
    if (!connection)
        return false;
    ConnectID = connection->ConnectID;
    return true;
}

bool TUSB_IFHostLocal::OpenDevice(std::int32_t ConnectID) {
    return SetOpen(ConnectID, true);
}

bool TUSB_IFHostLocal::CloseDevice(std::int32_t ConnectID) {
    return SetOpen(ConnectID, false);
}

bool TUSB_IFHostLocal::DisconnectDevice(std::int32_t ConnectID) {
    return Guarded([&] {
        TUSB_Connection* connection = Container().ConnectedDevices.FindConnection(ConnectID);
        if (!connection || !connection->ConnectedDevice || !connection->ConnectedDevice->Device ||
            connection->State == TUSB_Connection::csDisconnected)
            return false;
        if (connection->State == TUSB_Connection::csOpened && !CloseDevice(ConnectID))
            return false;
        connection->State = TUSB_Connection::csDisconnected;
        return true;
    });
}

bool TUSB_IFHostLocal::WriteBuffer(std::int32_t ConnectID, const TSafeByteArray& WriteData,
                                   std::int32_t& WriteCount) {
    TUSB_Connection* connection = Container().ConnectedDevices.FindConnection(ConnectID);
    return Transfer(connection, WriteData.Bytes(), WriteCount, &TUSB_Connection::TotalWriteCount,
                    [&](TUSB_IFDeviceBase& device, std::uint32_t count, std::uint32_t& written) {
                        return device.WriteBuffer(WriteData.Data().data(), count, written);
                    });
}

bool TUSB_IFHostLocal::ReadBuffer(std::int32_t ConnectID, TSafeByteArray& ReadData,
                                  std::int32_t& ReadCount) {
    TUSB_Connection* connection = Container().ConnectedDevices.FindConnection(ConnectID);
    return Transfer(connection, ReadData.Bytes(), ReadCount, &TUSB_Connection::TotalReadCount,
                    [&](TUSB_IFDeviceBase& device, std::uint32_t count, std::uint32_t& read) {
                        return device.ReadBuffer(ReadData.Data().data(), count, read);
                    });
}

bool TUSB_IFHostLocal::DevInfo(std::int32_t DevID, bool& Active, TUSBDevMode&,
                               std::string& LinkName, std::string& FriendlyName,
                               std::string& SerialNumber, std::string& VidPid, std::string& GUID_,
                               std::string& UserDeviceName, TUSBDevType& DevType,
                               TUSB_DeviceDriver& DriverType, std::uint16_t& Firmware,
                               std::uint8_t& App_ID_Hardware_Revision,
                               std::uint16_t& Meas_App_FPGA_Rev) {
    TUSB_IFDeviceBase* device = Container().FindDevice(DevID);
    if (!device) {
        ConfDebugString("TUSB_IFHostLocal.DevInfo -> False", "");
        return false;
    }
    Active = device->Active();
    LinkName = device->LinkName;
    FriendlyName = device->FriendlyName;
    SerialNumber = device->SerialNumber;
    VidPid = device->VidPid;
    GUID_ = device->GUID_;
    UserDeviceName = device->UserDeviceName;
    DevType = device->DevType;
    DriverType = device->DriverType;
    Firmware = device->Firmware;
    App_ID_Hardware_Revision = device->App_ID_Hardware_Revision;
    Meas_App_FPGA_Rev = device->Meas_App_FPGA_Rev;
    return true;
}

bool TUSB_IFHostLocal::TrafficStat(std::int32_t ConnectID, std::int32_t& TotalWriteCount,
                                   std::int32_t& TotalReadCount) {
    TUSB_Connection* connection = Container().ConnectedDevices.FindConnection(ConnectID);
    if (!connection)
        return false;
    TotalWriteCount = connection->TotalWriteCount;
    TotalReadCount = connection->TotalReadCount;
    return connection->ConnectedDevice && connection->ConnectedDevice->Device;
}

bool TUSB_IFHostLocal::EnumDevices(std::int32_t ClientAppID, TUSBDevType DevType) {
    TUSB_IFHostContainer& container = Container();
    std::shared_ptr<IZEMBHost> sink = SinkOf(container.ClientApps, ClientAppID);
    if (!sink || !ValidDevType(DevType))
        return false;
    for (TUSB_DeviceDriver column : Columns)
        EnumDevicesOfCell(container.Devices.Cell(DevType, column), *sink);
    return true;
}

bool TUSB_IFHostLocal::EnumDevices(std::shared_ptr<IZEMBHost> Sink) {
    if (!Sink)
        return false;
    TUSB_IFHostContainer& container = Container();
    for (TUSBDevType row : Rows)
        for (TUSB_DeviceDriver column : Columns)
            EnumDevicesOfCell(container.Devices.Cell(row, column), *Sink);
    return true;
}

bool TUSB_IFHostLocal::ConnectInfo(std::int32_t ConnectID, std::int32_t& DevID,
                                   std::int32_t& ClientAppID, bool& Connected, bool& Active,
                                   TUSBDevMode& Mode) {
    TUSB_Connection* connection = Container().ConnectedDevices.FindConnection(ConnectID);
    if (!connection)
        return false;
    Mode = connection->Mode;
    ClientAppID = connection->ClientAppID;
    TUSB_IFDeviceBase* device =
        connection->ConnectedDevice ? connection->ConnectedDevice->Device : nullptr;
    Connected = device != nullptr;
    Active = device && device->Active();
    DevID = device ? device->DevID : -1;
    return true;
}

bool TUSB_IFHostLocal::HookupClientApp(TUSBClientAppType ClientAppType, std::int32_t ProcessID,
                                       const std::string& ComputerName, const std::string& ExeName,
                                       std::int32_t& ClientAppID) {
    return Container().ClientApps.HookupClientApp(ClientAppType, ProcessID, ComputerName, ExeName,
                                                  ClientAppID) != nullptr;
}

bool TUSB_IFHostLocal::UnhookClientApp(std::int32_t ClientAppID) {
    return Container().ClientApps.UnhookClientApp(ClientAppID);
}

bool TUSB_IFHostLocal::ClientAppInfo(std::int32_t ClientAppID, TUSBClientAppType& ClientAppType,
                                     std::string& ComputerName, std::string& ExeName) {
    TUSB_HookedUpClientApp* client = Container().ClientApps.FindClientApp(ClientAppID);
    if (!client)
        return false;
    ClientAppType = client->ClientAppType;
    ComputerName = client->ComputerName;
    ExeName = client->ExeName;
    return true;
}

bool TUSB_IFHostLocal::EnumApplications(std::int32_t ClientAppID) {
    return TUSB_IFHostLocal::EnumApplications(SinkOf(Container().ClientApps, ClientAppID));
}

bool TUSB_IFHostLocal::EnumApplications(std::shared_ptr<IZEMBHost> Sink) {
    if (!Sink)
        return false;
    EnumApplicationsTo(Container().ClientApps, *Sink);
    return true;
}

bool TUSB_IFHostLocal::EnumConnections(std::int32_t ClientAppID) {
    return TUSB_IFHostLocal::EnumConnections(SinkOf(Container().ClientApps, ClientAppID));
}

bool TUSB_IFHostLocal::EnumConnections(std::shared_ptr<IZEMBHost> Sink) {
    if (!Sink)
        return false;
    EnumConnectionsTo(Container().ConnectedDevices, *Sink);
    return true;
}

bool TUSB_IFHostLocal::FirstDevice(TUSBDevType DevType, std::int32_t ClientAppID, TUSBDevMode Mode,
                                   std::int32_t& DevID) {
    if (!ValidDevType(DevType))
        return false;
    TUSB_IFHostContainer& container = Container();
    for (TUSB_DeviceDriver column : Columns) {
        const TUSB_IFDeviceCollection& cell = container.Devices.Cell(DevType, column);
        for (int i = 0; i < cell.Count(); ++i) {
            TUSB_IFDeviceBase* device = cell.Items(i);
            if (device && container.ConnectedDevices.CanConnect(*device, ClientAppID, Mode)) {
                DevID = device->DevID;
                return true;
            }
        }
    }
    return false;
}

bool TUSB_IFHostLocal::SetZEMBHost(std::int32_t ClientAppID, std::shared_ptr<IZEMBHost> Sink) {
    TUSB_HookedUpClientApp* client = Container().ClientApps.FindClientApp(ClientAppID);
    if (!client || client->ZEMBHost == Sink)
        return false;
    client->ZEMBHost = std::move(Sink);
    return true;
}

bool TUSB_IFHostLocal::TotalBufferSize(std::int32_t DevID, std::int32_t& Value) {
    Value = 0;
    TUSB_IFDeviceBase* device = Container().FindDevice(DevID);
    if (!device)
        return false;
    Value = device->TotalBufferSize;
    return true;
}

bool TUSB_IFHostLocal::StartSession(std::int32_t ConnectID) {
    if (ConnectID == -1)
        return false;
    return Guarded([&] {
        TUSB_ConnectedDevice* entry =
            Container().ConnectedDevices.ConnectedDeviceOfConnection(ConnectID);
        return entry && entry->StartSession(ConnectID);
    });
}

bool TUSB_IFHostLocal::EndSession(std::int32_t ConnectID) {
    if (ConnectID == -1)
        return false;
    return Guarded([&] {
        TUSB_ConnectedDevice* entry =
            Container().ConnectedDevices.ConnectedDeviceOfConnection(ConnectID);
        return entry && entry->EndSession();
    });
}
