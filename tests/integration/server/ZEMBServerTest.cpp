// SPDX-License-Identifier: MIT
// The server object with the real host and device layer on simulated link devices
// (zemb-sim -- zemb-server), through libzemb-client on the private session bus: the
// communication log read through the operator interface, the call frame read from the
// server's debug output.
#include "SimServer.h"
#include "ZEMBClient.h"

#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

// A Fenwy on libusb and a box that identification cannot classify, on pipe files.
constexpr const char* TwoDevices = R"([fenwy]
Driver=winusb_st
VendorId=0483
ProductId=a7f1
Instance=FWY000042007
FriendlyName=Fenwy Link (simulated)
Firmware=2.04
RamSize=0x0900
SerialNumber=20401234

[unknown]
Driver=silabs
VendorId=10c4
ProductId=ea60
Instance=UNK000001005
FriendlyName=Unrecognised box (simulated)
Firmware=2.04
RamSize=0x0200
SerialNumber=7
)";

constexpr const char* UnknownOnly = R"([unknown]
Driver=silabs
VendorId=10c4
ProductId=ea60
Instance=UNK000001005
FriendlyName=Unrecognised box (simulated)
Firmware=2.04
RamSize=0x0200
)";

[[maybe_unused]] std::string Comm3(const std::string& text) {
    return "[RUVAzerComm3] " + text;
}
[[maybe_unused]] std::string Traffic(const std::string& text) {
    return "[RUVAzerCommTraffic] " + text;
}

class TRecordingHost final : public IZEMBHost {
public:
    HRESULT EnumDevice(std::int32_t DevID, bool& Result) override {
        Devices.push_back(DevID);
        if (OnEnumDevice)
            OnEnumDevice(DevID);
        Result = true;
        return EnumDeviceStatus;
    }
    HRESULT EnumConnection(std::int32_t ConnectID, bool& Result) override {
        Connections.push_back(ConnectID);
        Result = true;
        return S_OK;
    }
    HRESULT EnumApplication(std::int32_t ClientAppID, bool& Result) override {
        Applications.push_back(ClientAppID);
        Result = true;
        return S_OK;
    }
    HRESULT DeviceAdded(std::int32_t, bool& Result) override {
        Result = true;
        return S_OK;
    }
    HRESULT DeviceRemoved(std::int32_t, bool& Result) override {
        Result = true;
        return S_OK;
    }

    std::vector<std::int32_t> Devices, Connections, Applications;
    std::function<void(std::int32_t)> OnEnumDevice;
    HRESULT EnumDeviceStatus = S_OK;
};

class TRecordingEvent final : public IZEMBEvent {
public:
    HRESULT Disconnected(std::int32_t ConnectID) override {
        Disconnects.push_back(ConnectID);
        return S_OK;
    }
    HRESULT Reconnected(std::int32_t ConnectID) override {
        Reconnects.push_back(ConnectID);
        return S_OK;
    }
    std::vector<std::int32_t> Disconnects, Reconnects;
};

// One client application: its own bus connection and server object.
struct TClient {
    std::unique_ptr<ZEMB::TZEMBClient> Bus;
    std::shared_ptr<IZEMBServer4> Server;
    std::int32_t AppID = -1;
};

struct TDevice {
    bool Active = false;
    std::uint8_t Mode = 0;
    std::string LinkName, FriendlyName, SerialNumber, VidPid, GUID_, UserDeviceName;
    std::uint8_t DevType = 0, DriverType = 0, HardwareRevision = 0;
    std::int32_t Firmware = 0;
    std::uint16_t FpgaRevision = 0;
    bool Result = false;
};

TDevice DevInfo(IZEMBServer4& server, std::int32_t devId, std::uint8_t mode = 0) {
    TDevice d;
    d.Mode = mode;
    EXPECT_EQ(server.DevInfo(devId, d.Active, d.Mode, d.LinkName, d.FriendlyName, d.SerialNumber,
                             d.VidPid, d.GUID_, d.UserDeviceName, d.DevType, d.DriverType,
                             d.Firmware, d.HardwareRevision, d.FpgaRevision, d.Result),
              S_OK);
    return d;
}

class ServerUnderSim : public ::testing::Test {
protected:
    void Start(const char* devices = TwoDevices, std::string fenwyIni = {}) {
        std::string why;
        ASSERT_TRUE(Server.Start({devices, std::move(fenwyIni)}, why)) << why;
        Server.TakeDebugLines();
    }

    TClient Connect() {
        TClient client;
        std::string error;
        client.Bus = ZEMB::TZEMBClient::Connect(&error);
        EXPECT_TRUE(client.Bus) << error;
        if (!client.Bus)
            return client;
        HRESULT status = E_FAIL;
        client.Server = client.Bus->CreateInstance(CLASS_ZEMBServer4, &status);
        EXPECT_EQ(status, S_OK);
        return client;
    }

    // A client of type aciBase, which may use every device type.
    TClient Hookup(const std::string& exeName) {
        TClient client = Connect();
        if (!client.Server)
            return client;
        bool result = false;
        EXPECT_EQ(client.Server->HookupClientApp2(ZEMB::aciBase,
                                                  static_cast<std::int32_t>(getpid()), "testhost",
                                                  exeName, client.AppID, result),
                  S_OK);
        EXPECT_TRUE(result);
        return client;
    }

    std::int32_t FirstDevice(TClient& client, std::uint8_t devType) {
        std::int32_t devId = -1;
        bool result = false;
        EXPECT_EQ(client.Server->FirstDevice2(devType, client.AppID, ZEMB::cmShared, devId, result),
                  S_OK);
        EXPECT_TRUE(result) << "no device of type " << int(devType);
        return devId;
    }

    std::int32_t ConnectAndOpen(TClient& client, std::int32_t devId, std::uint8_t mode,
                                const std::shared_ptr<IZEMBEvent>& events = nullptr) {
        std::int32_t connectId = -1;
        bool result = false;
        EXPECT_EQ(
            client.Server->ConnectDevice(client.AppID, devId, mode, events, connectId, result),
            S_OK);
        EXPECT_TRUE(result);
        result = false;
        EXPECT_EQ(client.Server->OpenDevice(connectId, result), S_OK);
        EXPECT_TRUE(result);
        return connectId;
    }

    void TearDown() override {
        // Ended by the server's own rules: SIGTERM closes the devices and frees the host.
        EXPECT_EQ(Server.Stop(), 0);
    }

    TSimServer Server;
};

} // namespace

TEST_F(ServerUnderSim, StartsOnSimulatedDevices) {
    Start();
    TClient client = Hookup("zemb-server-test");
    const std::int32_t fenwy = FirstDevice(client, ZEMB::dtFenwy);
    const TDevice d = DevInfo(*client.Server, fenwy);
    EXPECT_TRUE(d.Result);
    EXPECT_EQ(d.FriendlyName, "Fenwy Link (simulated)");
    for (auto& l : Server.TakeDebugLines())
        std::printf("%s\n", l.c_str());
    for (auto& l : Server.CommunicationLog())
        std::printf("LOG %s\n", l.c_str());
}
