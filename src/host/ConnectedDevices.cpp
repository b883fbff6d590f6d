// SPDX-License-Identifier: MIT
#include "host/ConnectedDevices.h"

#include "base/DebugLog.h"
#include "base/Settings.h"
#include "host/DeviceChangeWindow.h"
#include "usb/DeviceGrid.h"

#include <cstdio>
#include <exception>
#include <thread>

using namespace ZEMB;

namespace {

constexpr const char* Group = "TUSB_ConnectedDevices";
constexpr const char* Errors = "RUVAzerComm";
constexpr double SessionTakeOverSeconds = 10.0;
constexpr auto WaitPollInterval = std::chrono::milliseconds(50);

template <typename... Args> std::string Format(const char* format, Args... args) {
    char text[256];
    std::snprintf(text, sizeof text, format, args...);
    return text;
}

// A client's failed callback, as the call barrier writes a failure; the others are told all the
// same.
void LogCallbackStatus(const char* where, HRESULT status) {
    if (FAILED(status))
        ConfDebugString(
            Format("%s EOleSysError OLE error %08X", where, static_cast<unsigned>(status)),
            "RUVAzer Comm");
}

// A client that has gone away makes its callback fail; each call stands on its own.
template <typename Call> void Guarded(const char* where, Call&& call) {
    try {
        call();
    } catch (const std::exception& error) {
        ConfDebugString(std::string(where) + ": " + error.what(), Errors);
    } catch (...) {
        ConfDebugString(std::string(where) + ": unknown exception", Errors);
    }
}

} // namespace

double SteadyNowInDays() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count() / 86400.0;
}

void LogDevOp(const std::string& Text, std::int32_t ConnectID, std::int32_t ClientAppID, bool Ok) {
    std::string line = Text;
    if (ConnectID != -1)
        line += "(ConnectID " + std::to_string(ConnectID) + ")";
    if (ClientAppID != -1)
        line += "(ClientAppID " + std::to_string(ClientAppID) + ")";
    line += ": ";
    line += Ok ? " ok" : " not ok";
    ConfDebugString(line, "RUVAzerLogDevOp");
}

void TUSB_ConnectedDevice::CloseIfUnused() {
    if (Device && Device->Active() && !AnyOpen())
        Device->CloseDevice();
}

bool TUSB_Connection::SetOpen(bool Open) {
    TUSB_IFDeviceBase* device = ConnectedDevice ? ConnectedDevice->Device : nullptr;
    if (!device)
        return false;
    if (Open && State == csConnected) {
        const bool ok = device->Active() || device->OpenDevice();
        if (ok)
            State = csOpened;
        return ok;
    }
    if (!Open && State == csOpened) {
        if (!device->Active()) {
            State = csConnected;
            // Closed for now by a rescan that identifies the devices while the loop serves: the
            // close is done, and the rescan does not reopen a device nobody has open any more.
            TUSB_IFDeviceCollection* cell = device->Collection();
            if (!cell || !cell->ClosedForNow(device))
                return false;
            if (!ConnectedDevice->AnyOpen())
                cell->KeepClosed(device);
            return true;
        }
        State = csConnected;
        if (ConnectedDevice->AnyOpen())
            return true;
        // A transfer still running on the device keeps its handle until it is done (a client
        // unhooked meanwhile); the handle is closed then unless a connection opened it again.
        TUSB_ConnectedDevices* owner = ConnectedDevice->owner_;
        TUSB_ConnectedDevice* entry = ConnectedDevice;
        if (owner && owner->AfterRunningJob &&
            owner->AfterRunningJob(*entry, [entry] { entry->CloseIfUnused(); }))
            return true;
        const bool ok = device->CloseDevice();
        if (!ok)
            State = csOpened;
        return ok;
    }
    return false;
}

bool IndexInList(int Index, std::size_t count, std::string_view where) {
    if (Index >= 0 && static_cast<std::size_t>(Index) < count)
        return true;
    ConfDebugString(std::string(where) + " EListError List index out of bounds (" +
                        std::to_string(Index) + ") " + std::to_string(Index) + " " +
                        std::to_string(count),
                    "RUVAzerComm");
    return false;
}

TUSB_Connection* TUSB_ConnectedDevice::GetConnectionFromIndex(int Index) {
    if (!IndexInList(Index, Connections.size(), "TUSB_ConnectedDevice.GetConnectionFromIndex"))
        return nullptr;
    return Connections[static_cast<std::size_t>(Index)].get();
}

TUSB_Connection* TUSB_ConnectedDevice::FindConnection(std::int32_t ConnectID) {
    for (auto& connection : Connections)
        if (connection->ConnectID == ConnectID)
            return connection.get();
    return nullptr;
}

bool TUSB_ConnectedDevice::AnyOpen() const {
    for (const auto& connection : Connections)
        if (connection->State == TUSB_Connection::csOpened)
            return true;
    return false;
}

bool TUSB_ConnectedDevice::SameIdentity(const TUSB_IFDeviceBase& D) const {
    return LinkName == D.LinkName && FriendlyName == D.FriendlyName &&
           SerialNumber == D.SerialNumber && VidPid == D.VidPid && GUID_ == D.GUID_ &&
           UserDeviceName == D.UserDeviceName && DevType == D.DevType &&
           DriverType == D.DriverType && Firmware == D.Firmware;
}

bool TUSB_ConnectedDevice::StartSession(std::int32_t ConnectID) {
    TFrmMessageCatch* window = owner_ ? owner_->MessageCatch : nullptr;
    if (!window)
        return false;
    const double now = owner_->Now();
    const bool running = SessionStart != 0;
    // No session counts as one that began long ago: it may be taken even while busy.
    const bool granted = ((ConnectID == SessionConnectID || !running) && !Busy) || !running ||
                         (now - SessionStart) * 86400.0 >= SessionTakeOverSeconds;
    if (!granted)
        return false;
    SessionConnectID = ConnectID;
    SessionStart = now;
    // One lock per running session: a repeated grant or a take-over keeps the lock the
    // session already holds, so the last EndSession always frees the window again.
    if (!running)
        window->Lock();
    return true;
}

bool TUSB_ConnectedDevice::EndSession() {
    const bool running = SessionStart != 0;
    SessionStart = 0;
    TFrmMessageCatch* window = owner_ ? owner_->MessageCatch : nullptr;
    if (!window)
        return false;
    if (running)
        window->Unlock();
    return true;
}

TUSB_ConnectedDevices::TUSB_ConnectedDevices()
    : Now(SteadyNowInDays),
      Sleep([](std::chrono::milliseconds time) { std::this_thread::sleep_for(time); }) {}

TUSB_ConnectedDevice* TUSB_ConnectedDevices::FindConnectedDevice(const TUSB_IFDeviceBase& Device) {
    for (auto& entry : items_)
        if (entry->SameIdentity(Device))
            return entry.get();
    return nullptr;
}

TUSB_ConnectedDevice* TUSB_ConnectedDevices::DeviceInserted(TUSB_IFDeviceBase& Device) {
    TUSB_ConnectedDevice* entry = FindConnectedDevice(Device);
    std::string text;
    if (entry) {
        Device.DevID = entry->DevID;
        entry->Device = &Device;
        text = "Device (DevID: " + std::to_string(entry->DevID) + ") re-inserted";
    } else {
        auto created = std::make_unique<TUSB_ConnectedDevice>();
        created->owner_ = this;
        created->Device = &Device;
        created->LinkName = Device.LinkName;
        created->FriendlyName = Device.FriendlyName;
        created->SerialNumber = Device.SerialNumber;
        created->VidPid = Device.VidPid;
        created->GUID_ = Device.GUID_;
        created->UserDeviceName = Device.UserDeviceName;
        created->DevType = Device.DevType;
        created->DriverType = Device.DriverType;
        created->Firmware = Device.Firmware;
        Device.DevID = NextDevID;
        created->DevID = NextDevID;
        NextDevID = WrappingAdd(NextDevID, 1);
        items_.push_back(std::move(created));
        entry = items_.back().get();
        text = "Device (DevID: " + std::to_string(entry->DevID) + ") Inserted";
    }
    ConfDebugString(text, Group);
    // By index, each callback held for its call: while a client is called, others are served,
    // and they may add connections or let a callback go.
    for (std::size_t i = 0; i < entry->Connections.size(); ++i) {
        const TUSB_Connection& connection = *entry->Connections[i];
        std::shared_ptr<IZEMBEvent> callback = connection.Callback;
        if (callback)
            Guarded("TUSB_ConnectedDevices.DeviceInserted", [&] {
                LogCallbackStatus("TUSB_ConnectedDevices.DeviceInserted",
                                  callback->Reconnected(connection.ConnectID));
            });
    }
    return entry;
}

bool TUSB_ConnectedDevices::DeviceDetached(TUSB_IFDeviceBase& Device) {
    const std::string text = "Device (DevID: " + std::to_string(Device.DevID) + ") removed";
    TUSB_ConnectedDevice* entry = nullptr;
    for (auto& candidate : items_)
        if (candidate->Device == &Device) {
            entry = candidate.get();
            break;
        }
    if (entry) {
        // By index and held, as in DeviceInserted.
        for (std::size_t i = 0; i < entry->Connections.size(); ++i) {
            TUSB_Connection& connection = *entry->Connections[i];
            connection.State = TUSB_Connection::csDisconnected;
            std::shared_ptr<IZEMBEvent> callback = connection.Callback;
            if (callback)
                Guarded("TUSB_ConnectedDevices.DeviceDetached", [&] {
                    LogCallbackStatus("TUSB_ConnectedDevices.DeviceDetached",
                                      callback->Disconnected(connection.ConnectID));
                });
        }
        entry->Device = nullptr;
    }
    ConfDebugString(text, Group);
    return entry != nullptr;
}

TUSB_Connection* TUSB_ConnectedDevices::FindConnection(std::int32_t ConnectID) {
    const auto it = byConnectID_.find(ConnectID);
    return it == byConnectID_.end() ? nullptr : it->second;
}

TUSB_ConnectedDevice* TUSB_ConnectedDevices::ConnectedDeviceOfConnection(std::int32_t ConnectID) {
    TUSB_Connection* connection = FindConnection(ConnectID);
    return connection ? connection->ConnectedDevice : nullptr;
}

bool TUSB_ConnectedDevices::CanConnect(const TUSB_IFDeviceBase& Device, std::int32_t ClientAppID,
                                       TUSBDevMode Mode) {
    TUSB_ConnectedDevice* entry = FindConnectedDevice(Device);
    if (!entry)
        return false;
    for (const auto& connection : entry->Connections) {
        if (connection->State != TUSB_Connection::csConnected &&
            connection->State != TUSB_Connection::csOpened)
            continue;
        if (ClientAppID != -1 && ClientAppID == connection->ClientAppID)
            continue;
        if (connection->Mode == cmExclusive || Mode == cmExclusive)
            return false;
        if (connection->State == TUSB_Connection::csOpened && !ZEMBSettings().EnableSharedAccess)
            return false;
    }
    return true;
}

TUSB_Connection* TUSB_ConnectedDevices::AddConnection(std::int32_t ClientAppID, TUSBDevMode Mode,
                                                      bool& Reconnected,
                                                      std::shared_ptr<IZEMBEvent> Callback,
                                                      TUSB_IFDeviceBase& Device) {
    Reconnected = false;
    TUSB_ConnectedDevice* entry = FindConnectedDevice(Device);
    if (!entry)
        return nullptr;
    if (!entry->Device)
        entry->Device = &Device;
    TUSB_Connection* chosen = nullptr;
    for (auto& connection : entry->Connections)
        if (connection->Mode == Mode && connection->ClientAppID == ClientAppID &&
            entry->SameIdentity(Device)) {
            chosen = connection.get();
            break;
        }
    std::string line;
    if (chosen) {
        // The earlier connection keeps the callback it was made with; the new one is let go.
        Reconnected = true;
        StrayInterfaceCount = WrappingAdd(StrayInterfaceCount, 1);
        line = Format("AddConnection (prev) - (ClientAppID: %d)(ConnectID: %d)(DeviceID: %d)",
                      ClientAppID, chosen->ConnectID, Device.DevID);
    } else {
        auto candidate = std::make_unique<TUSB_Connection>();
        candidate->Mode = Mode;
        candidate->ClientAppID = ClientAppID;
        candidate->Callback = std::move(Callback);
        candidate->ConnectedDevice = entry;
        candidate->ConnectID = NextConnectID;
        NextConnectID = WrappingAdd(NextConnectID, 1);
        entry->Connections.push_back(std::move(candidate));
        chosen = entry->Connections.back().get();
        byConnectID_.try_emplace(chosen->ConnectID, chosen);
        line = Format("AddConnection (new) - (ClientAppID: %d)(ConnectID: %d)(DeviceID: %d)",
                      ClientAppID, chosen->ConnectID, Device.DevID);
    }
    ConfDebugString(line, Group);
    chosen->State = TUSB_Connection::csConnected;
    return chosen;
}

void TUSB_ConnectedDevices::RemoveConnections(std::int32_t ClientAppID) {
    for (auto& entry : items_) {
        for (auto& connection : entry->Connections) {
            if (connection->ClientAppID != ClientAppID)
                continue;
            if (entry->Device)
                ConfDebugString(
                    Format("RemoveConnections - (ClientAppID: %d)(ConnectID: %d)(DeviceID: %d)",
                           ClientAppID, connection->ConnectID, entry->Device->DevID),
                    Group);
            else
                ConfDebugString(
                    Format("RemoveConnections - (ClientAppID: %d)(ConnectID: %d)(DeviceID: %s)",
                           ClientAppID, connection->ConnectID, "nil"),
                    Group);
            if (connection->State == TUSB_Connection::csOpened) {
                const bool closed = connection->SetOpen(false);
                LogDevOp("(Inserted: CloseDevice)", connection->ConnectID, ClientAppID, closed);
            }
            if (connection->State == TUSB_Connection::csConnected) {
                connection->State = TUSB_Connection::csDisconnected;
                LogDevOp("(Inserted: DisconnectDevice)", connection->ConnectID, ClientAppID, true);
            }
        }
    }
}

bool TUSB_ConnectedDevices::WaitForSessions() {
    for (auto& entry : items_)
        entry->Busy = true;
    bool allFree = true;
    for (auto& entry : items_) {
        // A clock or sleep that fails counts as a session that stays open: no scan runs.
        allFree = false;
        Guarded("TUSB_ConnectedDevices.WaitForSessions", [&] {
            const double started = Now();
            while (entry->SessionStart != 0 && (Now() - started) * 86400.0 < SessionTakeOverSeconds)
                Sleep(WaitPollInterval);
            allFree = entry->SessionStart == 0;
        });
        if (!allFree)
            break;
    }
    if (!allFree)
        ClearBusy();
    return allFree;
}

void TUSB_ConnectedDevices::ClearBusy() {
    for (auto& entry : items_)
        entry->Busy = false;
}
