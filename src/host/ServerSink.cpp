// SPDX-License-Identifier: MIT
#include "host/ServerSink.h"

#include "base/DebugLog.h"
#include "host/HostOperations.h"

#include <exception>
#include <string>
#include <utility>

using namespace ZEMB;

namespace {

// The handlers belong to the operator window; an error in one is logged and reported as the
// call's outcome, never thrown back into the host.
template <typename Body> bool Handled(const char* where, Body&& body) {
    try {
        body();
        return true;
    } catch (const std::exception& error) {
        ConfDebugString(std::string(where) + ": " + error.what(), "RUVAzerComm");
    } catch (...) {
        ConfDebugString(std::string(where) + ": unknown exception", "RUVAzerComm");
    }
    return false;
}

// An error in a look-up or a handler leaves the enumeration call as a failure status, which
// the host's enumeration turns back into an error.
template <typename Body> HRESULT AsStatus(const char* where, Body&& body) {
    return Handled(where, std::forward<Body>(body)) ? S_OK : E_FAIL;
}

} // namespace

HRESULT TZEMBHost::EnumDevice(std::int32_t DevID, bool& Result) {
    Result = static_cast<bool>(OnEnumDevice);
    if (!Result)
        return S_OK;
    return AsStatus("TZEMBHost.EnumDevice", [&] {
        TUSB_IFDeviceBase* device = container_.FindDevice(DevID);
        Result = device != nullptr;
        if (device)
            OnEnumDevice(device->DevID, device->Active(), device->LinkName, device->FriendlyName,
                         device->SerialNumber, device->VidPid, device->GUID_,
                         device->UserDeviceName, device->DevType, device->DriverType,
                         device->Firmware, device->App_ID_Hardware_Revision,
                         device->Meas_App_FPGA_Rev);
    });
}

HRESULT TZEMBHost::EnumConnection(std::int32_t ConnectID, bool& Result) {
    Result = static_cast<bool>(OnEnumConnection);
    if (!Result)
        return S_OK;
    return AsStatus("TZEMBHost.EnumConnection", [&] {
        TUSB_Connection* connection = container_.ConnectedDevices.FindConnection(ConnectID);
        Result = connection != nullptr;
        if (!connection)
            return;
        TUSB_IFDeviceBase* device =
            connection->ConnectedDevice ? connection->ConnectedDevice->Device : nullptr;
        if (device)
            OnEnumConnection(ConnectID, device->DevID, connection->ClientAppID,
                             connection->State != TUSB_Connection::csDisconnected,
                             connection->State == TUSB_Connection::csOpened, connection->Mode);
        else
            OnEnumConnection(ConnectID, -1, connection->ClientAppID, false, false,
                             connection->Mode);
    });
}

HRESULT TZEMBHost::EnumApplication(std::int32_t ClientAppID, bool& Result) {
    Result = static_cast<bool>(OnEnumApplication);
    if (!Result)
        return S_OK;
    return AsStatus("TZEMBHost.EnumApplication", [&] {
        TUSB_HookedUpClientApp* client = container_.ClientApps.FindClientApp(ClientAppID);
        Result = client != nullptr;
        if (client)
            OnEnumApplication(ClientAppID, client->ClientAppType, client->ComputerName,
                              client->ExeName);
    });
}

HRESULT TZEMBHost::DeviceAdded(std::int32_t DevID, bool& Result) {
    Result = static_cast<bool>(OnDeviceAdded);
    if (!Result)
        return S_OK;
    Result = Handled("TZEMBHost.DeviceAdded", [&] { OnDeviceAdded(DevID); });
    return S_OK;
}

HRESULT TZEMBHost::DeviceRemoved(std::int32_t DevID, bool& Result) {
    Result = static_cast<bool>(OnDeviceRemoved);
    if (!Result)
        return S_OK;
    Result = Handled("TZEMBHost.DeviceRemoved", [&] { OnDeviceRemoved(DevID); });
    return S_OK;
}
