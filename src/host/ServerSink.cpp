// SPDX-License-Identifier: MIT
#include "host/ServerSink.h"

#include "host/HostOperations.h"

using namespace ZEMB;

namespace {

// An error in a look-up or a handler leaves the enumeration call as a failure status, which
// the host's enumeration turns back into an error.
template <typename Body> HRESULT AsStatus(Body&& body) {
    try {
        body();
        return S_OK;
    } catch (...) {
        return E_FAIL;
    }
}

} // namespace

HRESULT TZEMBHost::EnumDevice(std::int32_t DevID, bool& Result) {
    Result = static_cast<bool>(OnEnumDevice);
    if (!Result)
        return S_OK;
    return AsStatus([&] {
        TUSB_IFDeviceBase* device = EnsureHostContainer().FindDevice(DevID);
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
    return AsStatus([&] {
        TUSB_Connection* connection =
            EnsureHostContainer().ConnectedDevices.FindConnection(ConnectID);
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
    return AsStatus([&] {
        TUSB_HookedUpClientApp* client =
            EnsureHostContainer().ClientApps.FindClientApp(ClientAppID);
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
    try {
        OnDeviceAdded(DevID);
    } catch (...) {
        Result = false;
    }
    return S_OK;
}

HRESULT TZEMBHost::DeviceRemoved(std::int32_t DevID, bool& Result) {
    Result = static_cast<bool>(OnDeviceRemoved);
    if (!Result)
        return S_OK;
    try {
        OnDeviceRemoved(DevID);
    } catch (...) {
        Result = false;
    }
    return S_OK;
}
