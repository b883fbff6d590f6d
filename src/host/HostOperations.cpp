// SPDX-License-Identifier: MIT
#include "host/HostOperations.h"

#include "base/DebugLog.h"
#include "usb/LatencySimulation.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

using namespace ZEMB;

namespace {

TNotifyEvent gDevicesChanged;
constexpr const char* kErrors = "RUVAzerComm";
constexpr const char* kBarrier = "RUVAzer Comm";

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

// The line an error caught in the host leaves: where, and what it was.
void LogError(std::string_view where, std::exception_ptr error) {
    std::string what = "unknown exception";
    try {
        std::rethrow_exception(std::move(error));
    } catch (const std::exception& known) {
        what = known.what();
    } catch (...) {
    }
    ConfDebugString(std::string(where) + ": " + what, kErrors);
}

// An error from a device operation or a client inside the guarded operations gives false.
template <typename Body> bool Guarded(std::string_view where, Body&& body) {
    try {
        return body();
    } catch (...) {
        LogError(where, std::current_exception());
        return false;
    }
}

// Opens or closes the device of a connection.
bool SetOpen(TUSB_IFHostContainer& container, std::int32_t ConnectID, bool Open) {
    return Guarded(Open ? "TUSB_IFHostLocal.OpenDevice" : "TUSB_IFHostLocal.CloseDevice", [&] {
        TUSB_Connection* connection = container.ConnectedDevices.FindConnection(ConnectID);
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

// A client's failed notification, written as the call barrier writes a failure; the other
// clients are told all the same.
void LogClientFailure(std::string_view where, HRESULT status) {
    ConfDebugString(std::string(where) + " EOleSysError " + StatusText(status), kBarrier);
}

template <typename Call>
void NotifySinks(TUSB_HookedUpClientApps& apps, std::string_view where, Call&& call) {
    for (std::size_t i = 0; i < apps.Items().size(); ++i) {
        // Held for the call: the client may unhook itself from inside its callback.
        std::shared_ptr<IZEMBHost> sink = apps.Items()[i]->ZEMBHost;
        if (!sink)
            continue;
        const HRESULT status = call(*sink);
        if (FAILED(status))
            LogClientFailure(where, status);
    }
}

// The device of a connection, while it is present.
TUSB_IFDeviceBase* DeviceOf(const TUSB_Connection* connection) {
    return connection && connection->ConnectedDevice ? connection->ConnectedDevice->Device
                                                     : nullptr;
}

// One transfer on a connection's device, as many bytes as the array holds (at most 4 GiB - 1):
// the count is the whole array while the device works and what it moved afterwards, even when
// it failed, and is added to the connection's total.
template <class TTransfer>
bool Transfer(TUSB_Connection* connection, std::size_t bytes, std::int32_t& Count,
              std::int32_t TUSB_Connection::*Total, TTransfer transfer) {
    TUSB_IFDeviceBase* device = DeviceOf(connection);
    if (!device || bytes > std::numeric_limits<std::uint32_t>::max())
        return false;
    const auto count = static_cast<std::uint32_t>(bytes);
    std::uint32_t moved = count;
    Count = static_cast<std::int32_t>(count);
    const bool ok = transfer(*device, count, moved);
    Count = static_cast<std::int32_t>(moved);
    connection->*Total = WrappingAdd(connection->*Total, Count);
    return ok;
}

} // namespace

namespace {
// The default of the ...Later operations: the operation at once, its result (a thrown error
// included) handed to done before returning.
template <typename F> void AnswerNow(TDeviceDone&& done, TDeviceResult result, F&& operation) {
    try {
        operation(result);
    } catch (...) {
        result.Error = std::current_exception();
    }
    done(result);
}
} // namespace

void TUSB_IFHostBase::OpenDeviceLater(std::int32_t ConnectID, TDeviceDone Done) {
    AnswerNow(std::move(Done), {}, [&](TDeviceResult& r) { r.Ok = OpenDevice(ConnectID); });
}

void TUSB_IFHostBase::CloseDeviceLater(std::int32_t ConnectID, TDeviceDone Done) {
    AnswerNow(std::move(Done), {}, [&](TDeviceResult& r) { r.Ok = CloseDevice(ConnectID); });
}

void TUSB_IFHostBase::DisconnectDeviceLater(std::int32_t ConnectID, TDeviceDone Done) {
    AnswerNow(std::move(Done), {}, [&](TDeviceResult& r) { r.Ok = DisconnectDevice(ConnectID); });
}

// WriteData by value for the overrides, which keep it until the worker writes it.
void TUSB_IFHostBase::WriteBufferLater(
    std::int32_t ConnectID,
    TSafeByteArray WriteData, // NOLINT(performance-unnecessary-value-param)
    TDeviceDone Done) {
    AnswerNow(std::move(Done), {},
              [&](TDeviceResult& r) { r.Ok = WriteBuffer(ConnectID, WriteData, r.Count); });
}

void TUSB_IFHostBase::ReadBufferLater(std::int32_t ConnectID, TSafeByteArray ReadData,
                                      TDeviceDone Done) {
    TDeviceResult result;
    result.Data = std::move(ReadData);
    AnswerNow(std::move(Done), std::move(result),
              [&](TDeviceResult& r) { r.Ok = ReadBuffer(ConnectID, r.Data, r.Count); });
}

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

TUSB_IFHostContainer::TUSB_IFHostContainer(TFrmMessageCatch& MessageCatch, TUSB_IFHostSeams Seams)
    : ClientApps(ConnectedDevices, std::move(Seams.ProcessList)), Scan(std::move(Seams.Scan)),
      messageCatch_(MessageCatch) {
    if (!Scan)
        Scan = [](TUSB_IFDeviceGrid& grid) { grid.RescanAll(); };
    if (Seams.Now)
        ConnectedDevices.Now = std::move(Seams.Now);
    if (Seams.Sleep)
        ConnectedDevices.Sleep = std::move(Seams.Sleep);
    ConnectedDevices.MessageCatch = &messageCatch_;
    ConnectedDevices.AfterRunningJob = [this](TUSB_ConnectedDevice& device,
                                              std::function<void()> action) {
        return Workers.AfterRunningJob(device, std::move(action));
    };
    // What a device change triggers: a rescan; Changed reports whether the grid changed.
    messageCatch_.OnDevicesChanged = [this](bool& Changed) {
        if (scanning_) {
            scanAgain_ = true;
            return;
        }
        if (Workers.JobsRunning()) {
            DeviceChangeAfterJobs();
            return;
        }
        if (Workers.Attached()) {
            RescanDevicesAside();
            return;
        }
        Changed = RescanDevices();
    };
    RescanDevices();
}

void TUSB_IFHostContainer::DeviceChangeAfterJobs() {
    if (rescanWaiting_)
        return;
    rescanWaiting_ = true;
    Workers.Hold();
    Workers.WhenJobsDone([this] {
        rescanWaiting_ = false;
        struct TRelease {
            TDeviceScheduler& workers;
            ~TRelease() { workers.Release(); }
        } release{Workers};
        // Through the window again: a session that began meanwhile holds the change back.
        messageCatch_.WMDeviceChange();
    });
}

TUSB_IFHostContainer::~TUSB_IFHostContainer() {
    messageCatch_.OnDevicesChanged = nullptr;
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
    // A sink's failure ends the notification, not the rescan.
    if (OnDeviceDropped) {
        try {
            OnDeviceDropped(Device.DevID);
        } catch (...) {
            LogError("TUSB_IFHostContainer.DropDevice", std::current_exception());
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
            LogError("TUSB_IFHostContainer.AdoptDevice", std::current_exception());
        }
    }
    RaiseDevicesChangeNotification();
}

bool TUSB_IFHostContainer::RescanDevices() {
    if (!BeginRescan())
        return false;
    TUSB_IFDeviceGrid fresh;
    bool scanned = false;
    DeviceLogged("TUSB_IFHostContainer.RescanDevices", [&] {
        Scan(fresh);
        scanned = true;
    });
    return FinishRescan(scanned ? &fresh : nullptr);
}

void TUSB_IFHostContainer::RescanDevicesAside() {
    if (!BeginRescan())
        return;
    scanning_ = true;
    struct TAside {
        std::optional<TUSB_IFDeviceGrid> Fresh;
        TDeviceLines Lines;
        bool Scanned = false;
        std::unique_ptr<TNabtoSim> Sim; // the latency table as it was asked, as for a transfer
    };
    auto aside = std::make_shared<TAside>();
    if (TNabtoSim* sim = NabtoSim(); sim && !sim->Intervals.empty())
        aside->Sim = std::make_unique<TNabtoSim>(*sim);
    Workers.RunAside(
        [this, aside] {
            const TDeviceLineCapture capture(aside->Lines);
            const TNabtoSimScope sim(aside->Sim.get());
            DeviceLogged("TUSB_IFHostContainer.RescanDevices", [&] {
                // Made here: its collections take this thread's udev context.
                aside->Fresh.emplace();
                Scan(*aside->Fresh);
                aside->Scanned = true;
            });
        },
        [this, aside] {
            WriteDeviceLines(aside->Lines);
            scanning_ = false;
            FinishRescan(aside->Scanned ? &*aside->Fresh : nullptr);
            if (std::exchange(scanAgain_, false))
                messageCatch_.WMDeviceChange();
        });
}

bool TUSB_IFHostContainer::BeginRescan() {
    if (!ConnectedDevices.WaitForSessions())
        return false;
    // No device operation starts while devices are closed, identified and dropped; they go on
    // before the clients' answers are awaited, when the grid is whole again.
    Workers.Hold();
    DeviceLogged("TUSB_IFHostContainer.RescanDevices", [&] {
        for (TUSB_DeviceDriver column : Columns)
            for (TUSBDevType row : Rows)
                Devices.Cell(row, column).CloseOpenDevices();
    });
    return true;
}

bool TUSB_IFHostContainer::FinishRescan(TUSB_IFDeviceGrid* fresh) {
    struct TClearBusy {
        TUSB_ConnectedDevices& list;
        ~TClearBusy() { list.ClearBusy(); }
    } clearBusy{ConnectedDevices};
    struct THold {
        TDeviceScheduler& workers;
        bool held = true;
        void Release() {
            if (std::exchange(held, false))
                workers.Release();
        }
        ~THold() { Release(); }
    } hold{Workers};

    for (TUSB_DeviceDriver column : Columns)
        for (TUSBDevType row : Rows)
            Devices.Cell(row, column).ReopenClosedDevices();
    // A scan that failed part way would drop every device it did not get to.
    if (!fresh)
        return false;

    // One group for every callback of the rescan: a stalled client costs one time-out.
    struct TGroupScope {
        TCallGroup& group;
        explicit TGroupScope(TCallGroup& g) : group(g) {
            if (group.Begin && group.End)
                group.Begin();
        }
        ~TGroupScope() {
            if (!group.Begin || !group.End)
                return;
            try {
                for (const auto& [callback, status] : group.End())
                    LogClientFailure("TUSB_IFHostContainer.RescanDevices " + callback, status);
            } catch (...) {
                LogError("TUSB_IFHostContainer.RescanDevices", std::current_exception());
            }
        }
    } groupScope{CallGroup};

    bool changed = false;
    for (TUSB_DeviceDriver column : Columns)
        for (TUSBDevType row : Rows) {
            TUSB_IFDeviceCollection& cell = Devices.Cell(row, column);
            TUSB_IFDeviceCollection& found = fresh->Cell(row, column);
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
    hold.Release();
    return changed;
}

void TUSB_IFHostContainer::ForgetCallbacks(const std::vector<std::shared_ptr<IZEMBHost>>& Sinks,
                                           const std::vector<std::shared_ptr<IZEMBEvent>>& Events) {
    // A call that runs on one of them holds its own reference, so dropping it here is safe
    // even from inside that call.
    for (const auto& client : ClientApps.Items())
        if (client->ZEMBHost && std::ranges::find(Sinks, client->ZEMBHost) != Sinks.end())
            client->ZEMBHost.reset();
    for (const auto& entry : ConnectedDevices.Items())
        for (const auto& connection : entry->Connections)
            if (connection->Callback &&
                std::ranges::find(Events, connection->Callback) != Events.end())
                connection->Callback.reset();
}

TUSB_IFHostLocal::TUSB_IFHostLocal(TUSB_IFHostContainer& Container) : container_(Container) {
    // The handlers hold only the container, so a later host object replacing them, or this
    // one going first, changes nothing.
    TUSB_IFHostContainer* container = &Container;
    container_.OnDeviceAdopted = [container](std::int32_t DevID) {
        NotifySinks(container->ClientApps, "TUSB_IFHostLocal.NotifyDeviceAdded",
                    [DevID](IZEMBHost& sink) {
                        bool result = false;
                        return sink.DeviceAdded(DevID, result);
                    });
    };
    container_.OnDeviceDropped = [container](std::int32_t DevID) {
        NotifySinks(container->ClientApps, "TUSB_IFHostLocal.NotifyDeviceRemoved",
                    [DevID](IZEMBHost& sink) {
                        bool result = false;
                        return sink.DeviceRemoved(DevID, result);
                    });
    };
}

void TUSB_IFHostLocal::NotifyDeviceAdded(std::int32_t DevID) {
    container_.OnDeviceAdopted(DevID);
}
void TUSB_IFHostLocal::NotifyDeviceRemoved(std::int32_t DevID) {
    container_.OnDeviceDropped(DevID);
}

bool TUSB_IFHostLocal::ConnectDevice(std::int32_t ClientAppID, std::int32_t DevID, TUSBDevMode Mode,
                                     std::shared_ptr<IZEMBEvent> Callback, std::int32_t& ConnectID,
                                     bool& Reconnected) {
    Reconnected = false;
    ConnectID = -1;
    TUSB_IFHostContainer& container = container_;
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
    return SetOpen(container_, ConnectID, true);
}

bool TUSB_IFHostLocal::CloseDevice(std::int32_t ConnectID) {
    return SetOpen(container_, ConnectID, false);
}

bool TUSB_IFHostLocal::DisconnectDevice(std::int32_t ConnectID) {
    return Guarded("TUSB_IFHostLocal.DisconnectDevice", [&] {
        TUSB_Connection* connection = container_.ConnectedDevices.FindConnection(ConnectID);
        if (!DeviceOf(connection) || connection->State == TUSB_Connection::csDisconnected)
            return false;
        if (connection->State == TUSB_Connection::csOpened && !CloseDevice(ConnectID))
            return false;
        connection->State = TUSB_Connection::csDisconnected;
        return true;
    });
}

bool TUSB_IFHostLocal::WriteBuffer(std::int32_t ConnectID, const TSafeByteArray& WriteData,
                                   std::int32_t& WriteCount) {
    TUSB_Connection* connection = container_.ConnectedDevices.FindConnection(ConnectID);
    return Transfer(connection, WriteData.Bytes(), WriteCount, &TUSB_Connection::TotalWriteCount,
                    [&](TUSB_IFDeviceBase& device, std::uint32_t count, std::uint32_t& written) {
                        return device.WriteBuffer(WriteData.Data().data(), count, written);
                    });
}

bool TUSB_IFHostLocal::ReadBuffer(std::int32_t ConnectID, TSafeByteArray& ReadData,
                                  std::int32_t& ReadCount) {
    TUSB_Connection* connection = container_.ConnectedDevices.FindConnection(ConnectID);
    return Transfer(connection, ReadData.Bytes(), ReadCount, &TUSB_Connection::TotalReadCount,
                    [&](TUSB_IFDeviceBase& device, std::uint32_t count, std::uint32_t& read) {
                        return device.ReadBuffer(ReadData.Data().data(), count, read);
                    });
}

void TUSB_IFHostLocal::QueueOnDevice(std::int32_t ConnectID, TDeviceOperation operation) {
    TUSB_Connection* connection = container_.ConnectedDevices.FindConnection(ConnectID);
    if (!connection || !connection->ConnectedDevice) {
        operation();
        return;
    }
    container_.Workers.Queue(*connection->ConnectedDevice, std::move(operation));
}

namespace {
// Whether a connection other than this one has its device open.
bool OthersOpen(const TUSB_Connection& connection) {
    const auto& all = connection.ConnectedDevice->Connections;
    return std::any_of(all.begin(), all.end(), [&](const auto& other) {
        return other.get() != &connection && other->State == TUSB_Connection::csOpened;
    });
}

// The open or close of a device's handle on its worker; then(ok, threw) runs on the main thread
// afterwards, when the job's lines are out and what it threw is logged as the operation at once
// logs it (where).
TDeviceJob HandleJob(TUSB_IFDeviceBase& device, bool open, std::string where,
                     std::function<void(bool ok, bool threw)> then) {
    struct TShared {
        bool Ok = false;
        std::exception_ptr Error;
        TDeviceLines Lines;
    };
    auto shared = std::make_shared<TShared>();
    TDeviceJob job;
    job.Work = [&device, open, shared] {
        TDeviceLineCapture capture(shared->Lines);
        try {
            shared->Ok = open ? device.OpenDevice() : device.CloseDevice();
        } catch (...) {
            shared->Error = std::current_exception();
        }
    };
    job.Done = [shared, where = std::move(where), then = std::move(then)] {
        WriteDeviceLines(shared->Lines);
        if (shared->Error)
            LogError(where, shared->Error);
        then(shared->Ok && !shared->Error, static_cast<bool>(shared->Error));
    };
    return job;
}

TDeviceResult Outcome(bool ok) {
    TDeviceResult result;
    result.Ok = ok;
    return result;
}
} // namespace

// An open that has to open the device's handle does so on the device's worker; anything else
// (the connection not ready, the device already open for another) is answered at once.
void TUSB_IFHostLocal::OpenDeviceLater(std::int32_t ConnectID, TDeviceDone Done) {
    QueueOnDevice(
        ConnectID, [this, ConnectID, Done = std::move(Done)]() -> std::optional<TDeviceJob> {
            TUSB_Connection* connection = container_.ConnectedDevices.FindConnection(ConnectID);
            TUSB_IFDeviceBase* device = DeviceOf(connection);
            if (!device || connection->State != TUSB_Connection::csConnected || device->Active()) {
                TUSB_IFHostBase::OpenDeviceLater(ConnectID, Done);
                return std::nullopt;
            }
            if (!Guarded("TUSB_IFHostLocal.OpenDevice",
                         [device] { return device->ReadyToOpen(); })) {
                TDeviceResult failed = Outcome(false);
                Done(failed);
                return std::nullopt;
            }
            TUSB_ConnectedDevice* entry = connection->ConnectedDevice;
            return HandleJob(
                *device, true, "TUSB_IFHostLocal.OpenDevice",
                [this, ConnectID, entry, Done](bool ok, bool) {
                    TUSB_Connection* opened = container_.ConnectedDevices.FindConnection(ConnectID);
                    if (ok && opened && opened->State == TUSB_Connection::csConnected) {
                        opened->State = TUSB_Connection::csOpened;
                    } else if (ok) {
                        // The client let go of the connection while its device opened (it unhooked
                        // or left the bus): the handle goes again, next on the device, unless
                        // another connection opened it meanwhile.
                        if (!container_.Workers.AfterRunningJob(
                                *entry, [entry] { entry->CloseIfUnused(); }))
                            entry->CloseIfUnused();
                    }
                    TDeviceResult result = Outcome(ok);
                    Done(result);
                });
        });
}

std::optional<TDeviceJob> TUSB_IFHostLocal::CloseJob(std::int32_t ConnectID, bool Disconnect,
                                                     const TDeviceDone& Done) {
    TUSB_Connection* connection = container_.ConnectedDevices.FindConnection(ConnectID);
    TUSB_IFDeviceBase* device = DeviceOf(connection);
    if (!device || connection->State != TUSB_Connection::csOpened || !device->Active() ||
        OthersOpen(*connection)) {
        if (Disconnect)
            TUSB_IFHostBase::DisconnectDeviceLater(ConnectID, Done);
        else
            TUSB_IFHostBase::CloseDeviceLater(ConnectID, Done);
        return std::nullopt;
    }
    // Not open for this connection from now on, as the close at once has it; a failed close
    // gives the connection its open device back.
    connection->State = TUSB_Connection::csConnected;
    return HandleJob(*device, false, "TUSB_IFHostLocal.CloseDevice",
                     [this, ConnectID, Disconnect, Done](bool ok, bool threw) {
                         TUSB_Connection* closed =
                             container_.ConnectedDevices.FindConnection(ConnectID);
                         const bool still = closed && closed->State == TUSB_Connection::csConnected;
                         if (still && ok && Disconnect)
                             closed->State = TUSB_Connection::csDisconnected;
                         else if (still && !ok && !threw)
                             closed->State = TUSB_Connection::csOpened;
                         TDeviceResult result = Outcome(ok);
                         Done(result);
                     });
}

void TUSB_IFHostLocal::CloseDeviceLater(std::int32_t ConnectID, TDeviceDone Done) {
    QueueOnDevice(ConnectID, [this, ConnectID, Done = std::move(Done)] {
        return CloseJob(ConnectID, false, Done);
    });
}

void TUSB_IFHostLocal::DisconnectDeviceLater(std::int32_t ConnectID, TDeviceDone Done) {
    QueueOnDevice(ConnectID, [this, ConnectID, Done = std::move(Done)] {
        return CloseJob(ConnectID, true, Done);
    });
}

void TUSB_IFHostLocal::WriteBufferLater(std::int32_t ConnectID, TSafeByteArray WriteData,
                                        TDeviceDone Done) {
    TransferLater(ConnectID, std::move(WriteData), true, std::move(Done));
}

void TUSB_IFHostLocal::ReadBufferLater(std::int32_t ConnectID, TSafeByteArray ReadData,
                                       TDeviceDone Done) {
    TransferLater(ConnectID, std::move(ReadData), false, std::move(Done));
}

void TUSB_IFHostLocal::TransferLater(std::int32_t ConnectID, TSafeByteArray Data, bool Write,
                                     TDeviceDone Done) {
    // What the worker and the main thread share: the worker writes it, the main thread reads
    // it once the worker has handed the job back.
    struct TShared {
        TDeviceResult Result;
        std::uint32_t Moved = 0;
        TDeviceLines Lines;
        std::unique_ptr<TNabtoSim> Sim;
    };
    auto shared = std::make_shared<TShared>();
    shared->Result.Data = std::move(Data);
    QueueOnDevice(
        ConnectID,
        [this, ConnectID, Write, shared, Done = std::move(Done)]() -> std::optional<TDeviceJob> {
            // The connection and its device as they are when the transfer's turn comes.
            TUSB_Connection* connection = container_.ConnectedDevices.FindConnection(ConnectID);
            TUSB_IFDeviceBase* device = DeviceOf(connection);
            const std::size_t bytes = shared->Result.Data.Bytes();
            if (!device || bytes > std::numeric_limits<std::uint32_t>::max()) {
                Done(shared->Result);
                return std::nullopt;
            }
            const auto count = static_cast<std::uint32_t>(bytes);
            shared->Moved = count;
            shared->Result.Count = static_cast<std::int32_t>(count);
            if (TNabtoSim* sim = NabtoSim(); sim && !sim->Intervals.empty())
                shared->Sim = std::make_unique<TNabtoSim>(*sim);
            TDeviceJob job;
            job.Work = [device, shared, count, Write] {
                TDeviceLineCapture capture(shared->Lines);
                TNabtoSimScope sim(shared->Sim.get());
                try {
                    std::uint8_t* data = shared->Result.Data.Data().data();
                    shared->Result.Ok = Write ? device->WriteBuffer(data, count, shared->Moved)
                                              : device->ReadBuffer(data, count, shared->Moved);
                } catch (...) {
                    shared->Result.Error = std::current_exception();
                }
            };
            job.Done = [connection, shared, Write, Done] {
                WriteDeviceLines(shared->Lines);
                if (!shared->Result.Error) {
                    shared->Result.Count = static_cast<std::int32_t>(shared->Moved);
                    std::int32_t& total =
                        Write ? connection->TotalWriteCount : connection->TotalReadCount;
                    total = WrappingAdd(total, shared->Result.Count);
                }
                Done(shared->Result);
            };
            return job;
        });
}

bool TUSB_IFHostLocal::DevInfo(std::int32_t DevID, bool& Active, TUSBDevMode&,
                               std::string& LinkName, std::string& FriendlyName,
                               std::string& SerialNumber, std::string& VidPid, std::string& GUID_,
                               std::string& UserDeviceName, TUSBDevType& DevType,
                               TUSB_DeviceDriver& DriverType, std::uint16_t& Firmware,
                               std::uint8_t& App_ID_Hardware_Revision,
                               std::uint16_t& Meas_App_FPGA_Rev) {
    TUSB_IFDeviceBase* device = container_.FindDevice(DevID);
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
    TUSB_Connection* connection = container_.ConnectedDevices.FindConnection(ConnectID);
    if (!connection)
        return false;
    TotalWriteCount = connection->TotalWriteCount;
    TotalReadCount = connection->TotalReadCount;
    return connection->ConnectedDevice && connection->ConnectedDevice->Device;
}

bool TUSB_IFHostLocal::EnumDevices(std::int32_t ClientAppID, TUSBDevType DevType) {
    TUSB_IFHostContainer& container = container_;
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
    TUSB_IFHostContainer& container = container_;
    for (TUSBDevType row : Rows)
        for (TUSB_DeviceDriver column : Columns)
            EnumDevicesOfCell(container.Devices.Cell(row, column), *Sink);
    return true;
}

bool TUSB_IFHostLocal::ConnectInfo(std::int32_t ConnectID, std::int32_t& DevID,
                                   std::int32_t& ClientAppID, bool& Connected, bool& Active,
                                   TUSBDevMode& Mode) {
    TUSB_Connection* connection = container_.ConnectedDevices.FindConnection(ConnectID);
    if (!connection)
        return false;
    Mode = connection->Mode;
    ClientAppID = connection->ClientAppID;
    TUSB_IFDeviceBase* device = DeviceOf(connection);
    Connected = device != nullptr;
    Active = device && device->Active();
    DevID = device ? device->DevID : -1;
    return true;
}

bool TUSB_IFHostLocal::HookupClientApp(TUSBClientAppType ClientAppType, std::int32_t ProcessID,
                                       const std::string& ComputerName, const std::string& ExeName,
                                       std::int32_t& ClientAppID) {
    return container_.ClientApps.HookupClientApp(ClientAppType, ProcessID, ComputerName, ExeName,
                                                 ClientAppID) != nullptr;
}

bool TUSB_IFHostLocal::UnhookClientApp(std::int32_t ClientAppID) {
    return container_.ClientApps.UnhookClientApp(ClientAppID);
}

bool TUSB_IFHostLocal::ClientAppInfo(std::int32_t ClientAppID, TUSBClientAppType& ClientAppType,
                                     std::string& ComputerName, std::string& ExeName) {
    TUSB_HookedUpClientApp* client = container_.ClientApps.FindClientApp(ClientAppID);
    if (!client)
        return false;
    ClientAppType = client->ClientAppType;
    ComputerName = client->ComputerName;
    ExeName = client->ExeName;
    return true;
}

bool TUSB_IFHostLocal::EnumApplications(std::int32_t ClientAppID) {
    return TUSB_IFHostLocal::EnumApplications(SinkOf(container_.ClientApps, ClientAppID));
}

bool TUSB_IFHostLocal::EnumApplications(std::shared_ptr<IZEMBHost> Sink) {
    if (!Sink)
        return false;
    EnumApplicationsTo(container_.ClientApps, *Sink);
    return true;
}

bool TUSB_IFHostLocal::EnumConnections(std::int32_t ClientAppID) {
    return TUSB_IFHostLocal::EnumConnections(SinkOf(container_.ClientApps, ClientAppID));
}

bool TUSB_IFHostLocal::EnumConnections(std::shared_ptr<IZEMBHost> Sink) {
    if (!Sink)
        return false;
    EnumConnectionsTo(container_.ConnectedDevices, *Sink);
    return true;
}

bool TUSB_IFHostLocal::FirstDevice(TUSBDevType DevType, std::int32_t ClientAppID, TUSBDevMode Mode,
                                   std::int32_t& DevID) {
    if (!ValidDevType(DevType))
        return false;
    TUSB_IFHostContainer& container = container_;
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
    TUSB_HookedUpClientApp* client = container_.ClientApps.FindClientApp(ClientAppID);
    if (!client || client->ZEMBHost == Sink)
        return false;
    client->ZEMBHost = std::move(Sink);
    return true;
}

bool TUSB_IFHostLocal::TotalBufferSize(std::int32_t DevID, std::int32_t& Value) {
    Value = 0;
    TUSB_IFDeviceBase* device = container_.FindDevice(DevID);
    if (!device)
        return false;
    Value = device->TotalBufferSize;
    return true;
}

bool TUSB_IFHostLocal::StartSession(std::int32_t ConnectID) {
    if (ConnectID == -1)
        return false;
    return Guarded("TUSB_IFHostLocal.StartSession", [&] {
        TUSB_ConnectedDevice* entry =
            container_.ConnectedDevices.ConnectedDeviceOfConnection(ConnectID);
        return entry && entry->StartSession(ConnectID);
    });
}

bool TUSB_IFHostLocal::EndSession(std::int32_t ConnectID) {
    if (ConnectID == -1)
        return false;
    return Guarded("TUSB_IFHostLocal.EndSession", [&] {
        TUSB_ConnectedDevice* entry =
            container_.ConnectedDevices.ConnectedDeviceOfConnection(ConnectID);
        return entry && entry->EndSession();
    });
}
