// SPDX-License-Identifier: MIT
#pragma once

#include "contract/InterfaceTable.h"
#include "usb/LinkDevice.h"

#include <cstdint>
#include <functional>
#include <string>

class TUSB_IFHostContainer;

// The server's own IZEMBHost, through which the operator window receives enumerations and
// device arrival and removal. A method whose event is not set answers false and does nothing.
// The enumerations look the reported items up in the container, which must outlive the sink.
class TZEMBHost : public ZEMB::IZEMBHost {
public:
    explicit TZEMBHost(TUSB_IFHostContainer& Container) : container_(Container) {}

    using TEnumDeviceEvent = std::function<void(
        std::int32_t DevID, bool Active, const std::string& LinkName,
        const std::string& FriendlyName, const std::string& SerialNumber, const std::string& VidPid,
        const std::string& GUID_, const std::string& UserDeviceName, TUSBDevType DevType,
        TUSB_DeviceDriver DriverType, std::uint16_t Firmware, std::uint8_t App_ID_Hardware_Revision,
        std::uint16_t Meas_App_FPGA_Rev)>;
    using TEnumConnectionEvent =
        std::function<void(std::int32_t ConnectID, std::int32_t DevID, std::int32_t ClientAppID,
                           bool Connected, bool Opened, TUSBDevMode Mode)>;
    using TEnumApplicationEvent =
        std::function<void(std::int32_t ClientAppID, TUSBClientAppType ClientAppType,
                           const std::string& ComputerName, const std::string& ExeName)>;
    using TDeviceEvent = std::function<void(std::int32_t DevID)>;

    TEnumDeviceEvent OnEnumDevice;
    TEnumConnectionEvent OnEnumConnection;
    TEnumApplicationEvent OnEnumApplication;
    TDeviceEvent OnDeviceRemoved;
    TDeviceEvent OnDeviceAdded;

    ZEMB::HRESULT EnumDevice(std::int32_t DevID, bool& Result) override;
    ZEMB::HRESULT EnumConnection(std::int32_t ConnectID, bool& Result) override;
    ZEMB::HRESULT EnumApplication(std::int32_t ClientAppID, bool& Result) override;
    ZEMB::HRESULT DeviceAdded(std::int32_t DevID, bool& Result) override;
    ZEMB::HRESULT DeviceRemoved(std::int32_t DevID, bool& Result) override;

private:
    TUSB_IFHostContainer& container_;
};
