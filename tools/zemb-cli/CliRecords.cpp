// SPDX-License-Identifier: MIT
#include "CliRecords.h"

using namespace ZEMB;

namespace ZEMBCli {

HRESULT LoadConnection(IZEMBServer4& server, TConnectionRecord& c, bool& result) {
    return server.ConnectInfo(c.ConnectID, c.DevID, c.ClientAppID, c.Connected, c.Active, c.Mode,
                              result);
}

HRESULT LoadClient(IZEMBServer4& server, TClientRecord& c, bool& result) {
    return server.ClientAppInfo(c.ClientAppID, c.ClientAppType, c.ComputerName, c.ExeName, result);
}

void SetClientFields(TJson& json, const TClientRecord& c) {
    json.Set("ClientAppType", ToText(TUSBClientAppType{c.ClientAppType}));
    json.Set("ClientAppComputerName", c.ComputerName);
    json.Set("ClientAppExeName", c.ExeName);
}

} // namespace ZEMBCli
