// SPDX-License-Identifier: MIT
#pragma once

// What the server tells of a device, a connection and a client application, as the commands
// that show them read it.

#include "CliFormat.h"

#include <cstdint>
#include <string>
#include <zemb/ZEMBClient.h>

namespace ZEMBCli {

struct TDeviceRecord {
    std::int32_t DevID = -1;
    bool Active = false;
    std::string LinkName, FriendlyName, SerialNumber, VidPid, GUID_, UserDeviceName;
    std::uint8_t DevType = 0, DriverType = 0, App_ID_Hardware_Revision = 0;
    std::int32_t Firmware = 0;
    std::uint16_t Meas_App_FPGA_Rev = 0;
};

struct TConnectionRecord {
    std::int32_t ConnectID = -1, DevID = -1, ClientAppID = -1;
    bool Connected = false, Active = false;
    std::uint8_t Mode = 0;
};

struct TClientRecord {
    std::int32_t ClientAppID = -1;
    std::uint8_t ClientAppType = 0;
    std::string ComputerName, ExeName;
};

// The server's ConnectInfo and ClientAppInfo into the records of c.ConnectID and
// c.ClientAppID.
ZEMB::HRESULT LoadConnection(ZEMB::IZEMBServer4& server, TConnectionRecord& c, bool& result);
ZEMB::HRESULT LoadClient(ZEMB::IZEMBServer4& server, TClientRecord& c, bool& result);

// A client application's type and names as JSON members.
void SetClientFields(TJson& json, const TClientRecord& c);

} // namespace ZEMBCli
