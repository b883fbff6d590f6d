// SPDX-License-Identifier: MIT
// The server object with the real host and device layer on simulated link devices
// (zemb-sim -- zemb-server), through libzemb-client on the private session bus: the
// communication log read through the operator interface, the call frame read from the
// server's debug output.
#include "RecordingSinks.h"
#include "SimServer.h"
#include "TestProcess.h"

#include <csignal>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>
#include <zemb/ZEMBClient.h>

using namespace ZEMB;

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

// The call's status must be S_OK; its Result is what counts.
bool Ok(HRESULT status, const bool& result) {
    EXPECT_EQ(status, S_OK);
    return result;
}

std::string Comm3(const std::string& text) {
    return "[RUVAzerComm3] " + text;
}
std::string Traffic(const std::string& text) {
    return "[RUVAzerCommTraffic] " + text;
}

// The number in a recorded callback line, "EnumDevice 3 @c".
std::int32_t IdIn(const std::string& line) {
    return std::stoi(line.substr(line.find(' ') + 1));
}

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

struct TConnection {
    std::int32_t DevID = -1, AppID = -1;
    bool Connected = false, Active = false;
    std::uint8_t Mode = 0;
    bool Result = false;
};

TConnection ConnectInfo(IZEMBServer4& server, std::int32_t connectId) {
    TConnection c;
    EXPECT_EQ(
        server.ConnectInfo(connectId, c.DevID, c.AppID, c.Connected, c.Active, c.Mode, c.Result),
        S_OK);
    return c;
}

// Serves the client's callbacks until done holds, at most 20 s.
bool Await(TClient& client, const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done() && std::chrono::steady_clock::now() < deadline)
        client.Bus->WaitForEvents(std::chrono::milliseconds(200));
    return done();
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

TEST_F(ServerUnderSim, RegistrationCallsAndStubsWriteTheirFrameAndLogLines) {
    Start();
    TClient client = Connect();
    ASSERT_TRUE(client.Server);
    IZEMBServer4& server = *client.Server;
    bool result = false;

    // The first interface's hook-up: type 9 clamped to aciCorra, the stray check and the
    // frame of HookupClientApp2 inside its own.
    std::int32_t corra = -1;
    EXPECT_TRUE(Ok(server.HookupClientApp(9, "testhost", "corra-klient-ä", corra, result), result));
    EXPECT_THAT(Server.TakeServerTraces(), ElementsAre(Comm3(">TZEMBServer.HookupClientApp"),
                                                       Comm3(">TZEMBServer.HookupClientApp2"),
                                                       Comm3("<TZEMBServer.HookupClientApp2"),
                                                       Comm3("<TZEMBServer.HookupClientApp")));
    EXPECT_THAT(Server.CommunicationLog(),
                ElementsAre("HookupClientApp:  ok", "  ClientAppID: " + std::to_string(corra),
                            "  ClientExeName: corra-klient-ä"));
    // Operators without a window follow the log through its signal: one per line.
    EXPECT_GE(Server.LogChangeSignals(3, std::chrono::seconds(10)), 3);
    std::uint8_t type = 0;
    std::string computer, exe;
    EXPECT_TRUE(Ok(server.ClientAppInfo(corra, type, computer, exe, result), result));
    EXPECT_EQ(type, ZEMB::aciCorra);
    EXPECT_EQ(computer, "testhost");
    EXPECT_EQ(exe, "corra-klient-ä");
    EXPECT_THAT(Server.TakeServerTraces(), ElementsAre(Comm3(">TZEMBServer.ClientAppInfo"),
                                                       Comm3("<TZEMBServer.ClientAppInfo")));

    // The sink: stored once, refused when the same one comes again; no log line.
    TEventLog calls;
    auto sink = std::make_shared<TRecordingSink>(calls, "c");
    EXPECT_TRUE(Ok(server.SetZEMBHost2(corra, sink, result), result));
    EXPECT_FALSE(Ok(server.SetZEMBHost2(corra, sink, result), result));
    EXPECT_THAT(Server.TakeServerTraces(),
                ElementsAre(Comm3(">TZEMBServer.SetZEMBHost"), Comm3("<TZEMBServer.SetZEMBHost"),
                            Comm3(">TZEMBServer.SetZEMBHost"), Comm3("<TZEMBServer.SetZEMBHost")));

    EXPECT_TRUE(Ok(server.EnumApplications2(corra, result), result));
    // The process itself is client application 0.
    EXPECT_TRUE(Ok(server.EnumConnection2(corra, result), result));
    EXPECT_THAT(calls, ElementsAre("EnumApplication 0 @c",
                                   "EnumApplication " + std::to_string(corra) + " @c"));
    std::int32_t value = -1;
    EXPECT_FALSE(Ok(server.TotalBufferSize(12345, value, result), result));
    EXPECT_EQ(value, 0);
    EXPECT_FALSE(Ok(server.StartSession(-1, result), result));
    EXPECT_FALSE(Ok(server.EndSession(-1, result), result));
    EXPECT_THAT(
        Server.TakeServerTraces(),
        ElementsAre(
            Comm3(">TZEMBServer4.EnumApplications2"), Comm3("<TZEMBServer4.EnumApplications2"),
            Comm3(">TZEMBServer4.EnumConnections2"), Comm3("<TZEMBServer4.EnumConnections2"),
            Comm3(">TZEMBServer3.TotalBufferSize"), Comm3("<TZEMBServer3.TotalBufferSize"),
            Comm3(">TZEMBServer3.StartSession"), Comm3("<TZEMBServer3.StartSession"),
            Comm3(">TZEMBServer3.EndSession"), Comm3("<TZEMBServer3.EndSession")));

    // The first interface's stubs answer False; SetSuperUseMode True without a trace.
    result = true;
    EXPECT_FALSE(Ok(server.EnumDevices(ZEMB::dtFenwy, result), result));
    result = true;
    EXPECT_FALSE(Ok(server.EnumApplications(result), result));
    result = true;
    EXPECT_FALSE(Ok(server.EnumConnections(result), result));
    result = true;
    EXPECT_FALSE(Ok(server.SetZEMBHost(sink, result), result));
    EXPECT_TRUE(Ok(server.SetSuperUseMode(result), result));
    EXPECT_THAT(Server.TakeServerTraces(),
                ElementsAre("[] >TZEMBServer.EnumDevices", "[] TZEMBServer.EnumApplications",
                            "[] TZEMBServer.EnumConnections", "[] TZEMBServer.SetZEMBHost"));
    EXPECT_EQ(calls.size(), 2u);

    // Unhook: its line comes after the exit trace, with or without the host's consent.
    const std::size_t before = Server.CommunicationLog().size();
    EXPECT_TRUE(Ok(server.UnhookClientApp(corra, result), result));
    std::vector<std::string> traces = Server.TakeServerTraces();
    ASSERT_FALSE(traces.empty());
    EXPECT_EQ(traces.front(), Comm3(">TZEMBServer.UnhookClientApp"));
    EXPECT_EQ(traces.back(), Comm3("<TZEMBServer.UnhookClientApp"));
    EXPECT_FALSE(Ok(server.UnhookClientApp(77, result), result));
    EXPECT_THAT(Server.CommunicationLogFrom(before),
                ElementsAre("UnhookClientApp (ClientAppID: " + std::to_string(corra) + ")",
                            "UnhookClientApp (ClientAppID: 77)"));
}

TEST_F(ServerUnderSim, DeviceCallsWriteTheirLogLinesAndMoveBytesThroughTheDevice) {
    Start();
    TClient client = Hookup("zemb-server-test");
    ASSERT_TRUE(client.Server);
    IZEMBServer4& server = *client.Server;
    const std::string app = std::to_string(client.AppID);
    const std::int32_t fenwy = FirstDevice(client, ZEMB::dtFenwy);
    const std::string dev = std::to_string(fenwy);
    ASSERT_TRUE(Server.ClearCommunicationLog());
    Server.TakeDebugLines();
    bool result = false;

    // DevInfo: the device as identified; the in-ref Mode is an input only on the bus.
    const TDevice info = DevInfo(server, fenwy, 7);
    EXPECT_TRUE(info.Result);
    EXPECT_FALSE(info.Active); // not opened yet
    EXPECT_EQ(info.Mode, 7);
    EXPECT_EQ(info.FriendlyName, "Fenwy Link (simulated)");
    EXPECT_EQ(info.DevType, ZEMB::dtFenwy);
    EXPECT_EQ(info.Firmware, 0x0204);
    EXPECT_EQ(info.LinkName.rfind("usb#vid_0483&pid_a7f1#FWY000042007#{", 0), 0u) << info.LinkName;
    const TDevice none = DevInfo(server, 4711);
    EXPECT_FALSE(none.Result);
    EXPECT_TRUE(none.LinkName.empty() && none.FriendlyName.empty());
    std::int32_t bufferSize = 0;
    EXPECT_TRUE(Ok(server.TotalBufferSize(fenwy, bufferSize, result), result));
    EXPECT_EQ(bufferSize, 0x0900 - 256);
    EXPECT_THAT(Server.TakeServerTraces(),
                ElementsAre(Comm3(">TZEMBServer.DevInfo"), Comm3("<TZEMBServer.DevInfo"),
                            Comm3(">TZEMBServer.DevInfo"), "[] TUSB_IFHostLocal.DevInfo -> False",
                            Comm3("<TZEMBServer.DevInfo"), Comm3(">TZEMBServer3.TotalBufferSize"),
                            Comm3("<TZEMBServer3.TotalBufferSize")));

    // An unknown device: refused at the host's DevInfo, nothing in the log.
    std::int32_t connectId = -1;
    ASSERT_EQ(server.ConnectDevice(client.AppID, 4711, ZEMB::cmShared, nullptr, connectId, result),
              S_OK);
    EXPECT_FALSE(result);
    EXPECT_EQ(connectId, 0);
    EXPECT_THAT(Server.CommunicationLog(), IsEmpty());

    // Mode 5 is clamped to cmShared.
    TEventLog calls;
    auto events = std::make_shared<TRecordingEvent>(calls, "c");
    ASSERT_TRUE(
        Ok(server.ConnectDevice(client.AppID, fenwy, 5, events, connectId, result), result));
    const std::string c = std::to_string(connectId);
    EXPECT_TRUE(Ok(server.OpenDevice(connectId, result), result));
    EXPECT_THAT(Server.CommunicationLog(),
                ElementsAre("ConnectDevice (ConnectID " + c + "):  ok", "   ClientAppID: " + app,
                            "   DevType: dtFenwy", "   Mode: cmShared", "   DevID: " + dev,
                            "OpenDevice (ConnectID " + c + "):  ok", "   DevID: " + dev,
                            "   ClientAppID: " + app, "   Mode: cmShared"));

    // A write, then a read of the same length: the device's echo, counted in one pair.
    const std::vector<std::uint8_t> bytes = {0x5A, 0x01, 0xA5, 0xFF, 0x00, 0x42};
    std::int32_t count = -1;
    EXPECT_TRUE(Ok(server.WriteBuffer(connectId, TSafeByteArray(bytes), count, result), result));
    EXPECT_EQ(count, 6);
    TSafeByteArray answer(6, 1);
    EXPECT_TRUE(Ok(server.ReadBuffer(connectId, answer, count, result), result));
    EXPECT_EQ(count, 6);
    EXPECT_EQ(answer, TSafeByteArray(bytes));
    std::int32_t written = -1, read = -1;
    EXPECT_TRUE(Ok(server.TrafficStat(connectId, written, read, result), result));
    EXPECT_EQ(written, 6);
    EXPECT_EQ(read, 6);
    const TConnection info2 = ConnectInfo(server, connectId);
    EXPECT_TRUE(info2.Result && info2.Connected && info2.Active);
    EXPECT_EQ(info2.DevID, fenwy);
    EXPECT_EQ(info2.AppID, client.AppID);
    EXPECT_EQ(info2.Mode, ZEMB::cmShared);
    EXPECT_TRUE(DevInfo(server, fenwy).Active);

    // Failures: every one logged, the ConnectID part left out for -1.
    EXPECT_FALSE(Ok(server.OpenDevice(99, result), result));
    EXPECT_FALSE(Ok(server.OpenDevice(-1, result), result));
    EXPECT_FALSE(Ok(server.CloseDevice(-1, result), result));
    TSafeByteArray unread(8, 1);
    EXPECT_FALSE(Ok(server.ReadBuffer(99, unread, count, result), result));
    EXPECT_TRUE(Ok(server.CloseDevice(connectId, result), result));
    EXPECT_TRUE(Ok(server.DisconnectDevice(connectId, result), result));
    EXPECT_FALSE(Ok(server.DisconnectDevice(connectId, result), result));
    EXPECT_THAT(Server.CommunicationLogFrom(9),
                ElementsAre("TrafficStats (ConnectID " + c + "): W: 6  R: 6", "ReadBuffer 6:6  ok",
                            "OpenDevice (ConnectID 99):  not ok",
                            "TZEMBServer.OpenDevice: FHost.ConnectInfo fail99", "OpenDevice not ok",
                            "TZEMBServer.OpenDevice: FHost.ConnectInfo fail-1",
                            "CloseDevice not ok", "TrafficStats (ConnectID 99): W: 0  R: 0",
                            "ReadBuffer 8:0  not ok", "CloseDevice (ConnectID " + c + "):  ok",
                            "DisconnectDevice (ConnectID " + c + "):  ok",
                            "DisconnectDevice (ConnectID " + c + "):  not ok"));

    // The frame: traffic calls in their own group, the device calls in RUVAzerComm3.
    std::vector<std::string> frame;
    for (const std::string& line : Server.TakeServerTraces())
        frame.push_back(line);
    EXPECT_THAT(
        frame,
        ElementsAre(Comm3(">TZEMBServer.ConnectDevice"), "[] TUSB_IFHostLocal.DevInfo -> False",
                    Comm3("<TZEMBServer.ConnectDevice"), Comm3(">TZEMBServer.ConnectDevice"),
                    Comm3("<TZEMBServer.ConnectDevice"), Comm3(">TZEMBServer.OpenDevice"),
                    Comm3("<TZEMBServer.OpenDevice"), Traffic(">TZEMBServer.WriteBuffer"),
                    Traffic("<TZEMBServer.WriteBuffer"), Traffic(">TZEMBServer.ReadBuffer"),
                    Traffic("<TZEMBServer.ReadBuffer"), Traffic(">TZEMBServer.TrafficStat"),
                    Traffic("<TZEMBServer.TrafficStat"), Comm3(">TZEMBServer.ConnectInfo"),
                    Comm3("<TZEMBServer.ConnectInfo"), Comm3(">TZEMBServer.DevInfo"),
                    Comm3("<TZEMBServer.DevInfo"), Comm3(">TZEMBServer.OpenDevice"),
                    Comm3("<TZEMBServer.OpenDevice"), Comm3(">TZEMBServer.OpenDevice"),
                    Comm3("<TZEMBServer.OpenDevice"), Comm3(">TZEMBServer.CloseDevice"),
                    Comm3("<TZEMBServer.CloseDevice"), Traffic(">TZEMBServer.ReadBuffer"),
                    Traffic("<TZEMBServer.ReadBuffer"), Comm3(">TZEMBServer.CloseDevice"),
                    Comm3("<TZEMBServer.CloseDevice"), Comm3(">TZEMBServer.DisconnectDevice"),
                    Comm3("<TZEMBServer.DisconnectDevice"), Comm3(">TZEMBServer.DisconnectDevice"),
                    Comm3("<TZEMBServer.DisconnectDevice")));
}

TEST_F(ServerUnderSim, TrafficPairKeepsItsPlaceUntilAnotherConnectionOrLineComes) {
    Start();
    TClient client = Hookup("zemb-server-test");
    ASSERT_TRUE(client.Server);
    IZEMBServer4& server = *client.Server;
    const std::int32_t first =
        ConnectAndOpen(client, FirstDevice(client, ZEMB::dtFenwy), ZEMB::cmExclusive);
    const std::int32_t second =
        ConnectAndOpen(client, FirstDevice(client, ZEMB::dtNotRecognized), ZEMB::cmExclusive);
    const std::string a = std::to_string(first), b = std::to_string(second);
    const std::size_t start = Server.CommunicationLog().size();
    bool result = false;
    std::int32_t count = 0;
    auto write = [&](std::int32_t connectId, std::size_t size) {
        EXPECT_TRUE(
            Ok(server.WriteBuffer(connectId, TSafeByteArray(size, 1), count, result), result));
    };

    for (int i = 0; i < 10; ++i)
        write(first, 4);
    EXPECT_THAT(
        Server.CommunicationLogFrom(start),
        ElementsAre("TrafficStats (ConnectID " + a + "): W: 40  R: 0", "WriteBuffer 4:4  ok"));

    // Another connection's write starts a pair of its own; the first connection's next write
    // does not go back to its old pair.
    write(second, 3);
    write(second, 5);
    write(first, 2);
    EXPECT_THAT(
        Server.CommunicationLogFrom(start),
        ElementsAre("TrafficStats (ConnectID " + a + "): W: 40  R: 0", "WriteBuffer 4:4  ok",
                    "TrafficStats (ConnectID " + b + "): W: 8  R: 0", "WriteBuffer 5:5  ok",
                    "TrafficStats (ConnectID " + a + "): W: 42  R: 0", "WriteBuffer 2:2  ok"));

    // Any other line in between starts a new pair too.
    ASSERT_EQ(server.OpenDevice(99, result), S_OK);
    write(first, 1);
    write(first, 1);
    EXPECT_THAT(Server.CommunicationLogFrom(start + 6),
                ElementsAre("OpenDevice (ConnectID 99):  not ok",
                            "TZEMBServer.OpenDevice: FHost.ConnectInfo fail99",
                            "TrafficStats (ConnectID " + a + "): W: 44  R: 0",
                            "WriteBuffer 1:1  ok"));

    // With the log cleared there is no pair left to replace: the pair is appended.
    ASSERT_TRUE(Server.ClearCommunicationLog());
    write(first, 1);
    write(first, 1);
    EXPECT_THAT(
        Server.CommunicationLog(),
        ElementsAre("TrafficStats (ConnectID " + a + "): W: 46  R: 0", "WriteBuffer 1:1  ok"));
}

TEST_F(ServerUnderSim, FirstDeviceFallsBackToAnUnrecognisedDeviceOnlyForMirelAndFenwy) {
    Start(UnknownOnly);
    TClient client = Hookup("zemb-server-test");
    ASSERT_TRUE(client.Server);
    IZEMBServer4& server = *client.Server;
    const TDevice unknown = DevInfo(server, 0);
    ASSERT_TRUE(unknown.Result);
    ASSERT_EQ(unknown.DevType, ZEMB::dtNotRecognized);
    const std::size_t start = Server.CommunicationLog().size();
    Server.TakeDebugLines();

    std::int32_t devId = 55;
    bool result = false;
    ASSERT_EQ(server.FirstDevice2(ZEMB::dtFenwy, client.AppID, ZEMB::cmShared, devId, result),
              S_OK);
    EXPECT_TRUE(result);
    EXPECT_EQ(devId, 0);
    devId = 55;
    ASSERT_EQ(server.FirstDevice2(ZEMB::dtBrisk, client.AppID, ZEMB::cmExclusive, devId, result),
              S_OK);
    EXPECT_FALSE(result);
    // A type beyond the enumeration is clamped to dtCorra, a mode beyond it to cmShared.
    EXPECT_FALSE(Ok(server.FirstDevice2(200, client.AppID, 200, devId, result), result));
    EXPECT_THAT(
        Server.CommunicationLogFrom(start),
        ElementsAre("No device found (dtFenwy cmShared). Using NotRecognized device instead",
                    "No device found (dtBrisk cmExclusive)", "No device found (dtCorra cmShared)"));

    // The first interface's FirstDevice: two stray checks, its own frame around FirstDevice2's,
    // and the DevID line also when nothing was found.
    Server.TakeDebugLines();
    EXPECT_TRUE(Ok(server.FirstDevice(ZEMB::dtMirel, ZEMB::cmExclusive, devId, result), result));
    EXPECT_EQ(devId, 0);
    EXPECT_FALSE(Ok(server.FirstDevice(ZEMB::dtCorra, ZEMB::cmExclusive, devId, result), result));
    EXPECT_THAT(
        Server.TakeServerTraces(),
        ElementsAre(Comm3(">TZEMBServer.FirstDevice"), Comm3(">TZEMBServer.FirstDevice2"),
                    Comm3("<TZEMBServer.FirstDevice2"), Comm3("TZEMBServer.FirstDevice. DevID: 0"),
                    Comm3("<TZEMBServer.FirstDevice"), Comm3(">TZEMBServer.FirstDevice"),
                    Comm3(">TZEMBServer.FirstDevice2"), Comm3("<TZEMBServer.FirstDevice2"),
                    Comm3("TZEMBServer.FirstDevice. DevID: 0"), Comm3("<TZEMBServer.FirstDevice")));
    EXPECT_THAT(Server.CommunicationLogFrom(start + 3),
                ElementsAre("No device found (dtMirel cmExclusive). Using NotRecognized device "
                            "instead",
                            "No device found (dtCorra cmExclusive)"));
}

TEST_F(ServerUnderSim, ReconnectIsLoggedAndItsDroppedCallbackReportedOnTheNextCalls) {
    Start();
    TClient client = Hookup("zemb-server-test");
    ASSERT_TRUE(client.Server);
    IZEMBServer4& server = *client.Server;
    const std::int32_t fenwy = FirstDevice(client, ZEMB::dtFenwy);
    TEventLog calls;
    const std::int32_t connectId = ConnectAndOpen(client, fenwy, ZEMB::cmShared,
                                                  std::make_shared<TRecordingEvent>(calls, "c"));
    const std::size_t start = Server.CommunicationLog().size();
    Server.TakeDebugLines();

    // The same client and mode again, twice: the first connection back each time, and two
    // dropped callback references pending.
    bool result = false;
    for (int i = 0; i < 2; ++i) {
        std::int32_t again = -1;
        ASSERT_EQ(server.ConnectDevice(client.AppID, fenwy, ZEMB::cmShared,
                                       std::make_shared<TRecordingEvent>(calls, "again"), again,
                                       result),
                  S_OK);
        EXPECT_TRUE(result);
        EXPECT_EQ(again, connectId);
    }
    const std::string c = std::to_string(connectId);
    const std::vector<std::string> reconnect = {"(Re)ConnectDevice (ConnectID " + c + "):  ok",
                                                "   ClientAppID: " + std::to_string(client.AppID),
                                                "   DevType: dtFenwy", "   Mode: cmShared",
                                                "   DevID: " + std::to_string(fenwy)};
    std::vector<std::string> expected = reconnect;
    expected.insert(expected.end(), reconnect.begin(), reconnect.end());
    EXPECT_EQ(Server.CommunicationLogFrom(start), expected);
    // The second reconnect's frame already reports the first one's stray interface.
    EXPECT_THAT(
        Server.TakeServerTraces(),
        ElementsAre(Comm3(">TZEMBServer.ConnectDevice"), Comm3("<TZEMBServer.ConnectDevice"),
                    Comm3(">TZEMBServer.CheckStrayInterfaces: 1"),
                    Comm3(">TZEMBServer.ConnectDevice"), Comm3("<TZEMBServer.ConnectDevice")));

    // One pending: reported once, on the next call of any kind that runs the frame; the first
    // interface's FirstDevice checks before its own entry line.
    std::int32_t devId = -1;
    ASSERT_EQ(server.FirstDevice(ZEMB::dtFenwy, ZEMB::cmShared, devId, result), S_OK);
    std::int32_t written = 0, read = 0;
    ASSERT_EQ(server.TrafficStat(connectId, written, read, result), S_OK);
    EXPECT_THAT(Server.TakeServerTraces(),
                ElementsAre(Comm3(">TZEMBServer.CheckStrayInterfaces: 1"),
                            Comm3(">TZEMBServer.FirstDevice"), Comm3(">TZEMBServer.FirstDevice2"),
                            Comm3("<TZEMBServer.FirstDevice2"),
                            Comm3("TZEMBServer.FirstDevice. DevID: " + std::to_string(fenwy)),
                            Comm3("<TZEMBServer.FirstDevice"), Traffic(">TZEMBServer.TrafficStat"),
                            Traffic("<TZEMBServer.TrafficStat")));

    // A reconnect puts the connection back to connected: the device was closed for it.
    const TConnection back = ConnectInfo(server, connectId);
    EXPECT_TRUE(back.Result && back.Connected);
    EXPECT_TRUE(Ok(server.DisconnectDevice(connectId, result), result));
}

TEST_F(ServerUnderSim, AccessRulesKeepADeviceFromOtherClients) {
    Start();
    TClient a = Hookup("client-a");
    TClient b = Hookup("client-b");
    ASSERT_TRUE(a.Server && b.Server);
    const std::int32_t fenwy = FirstDevice(a, ZEMB::dtFenwy);
    bool result = false;
    auto connect = [&](TClient& client, std::uint8_t mode) {
        std::int32_t connectId = -1;
        EXPECT_EQ(
            client.Server->ConnectDevice(client.AppID, fenwy, mode, nullptr, connectId, result),
            S_OK);
        return result ? connectId : -1;
    };

    // Exclusive: nobody else, in either mode; the refusals leave no line.
    const std::int32_t exclusive = connect(a, ZEMB::cmExclusive);
    ASSERT_NE(exclusive, -1);
    const std::size_t afterConnect = Server.CommunicationLog().size();
    EXPECT_EQ(connect(b, ZEMB::cmExclusive), -1);
    EXPECT_EQ(connect(b, ZEMB::cmShared), -1);
    EXPECT_EQ(Server.CommunicationLog().size(), afterConnect);
    // FirstDevice2 passes the held Fenwy by and offers the unrecognised box instead.
    std::int32_t devId = -1;
    EXPECT_TRUE(
        Ok(b.Server->FirstDevice2(ZEMB::dtFenwy, b.AppID, ZEMB::cmShared, devId, result), result));
    EXPECT_NE(devId, fenwy);
    EXPECT_THAT(Server.CommunicationLogFrom(afterConnect),
                ElementsAre("No device found (dtFenwy cmShared). Using NotRecognized device "
                            "instead"));
    ASSERT_TRUE(Ok(a.Server->DisconnectDevice(exclusive, result), result));

    // Shared: both join while the device is not opened; once opened, a newcomer is refused
    // (EnableSharedAccess is off), the one already connected may open it as well.
    const std::int32_t sharedA = connect(a, ZEMB::cmShared);
    const std::int32_t sharedB = connect(b, ZEMB::cmShared);
    ASSERT_NE(sharedA, -1);
    ASSERT_NE(sharedB, -1);
    EXPECT_NE(sharedA, sharedB);
    EXPECT_TRUE(Ok(a.Server->OpenDevice(sharedA, result), result));
    TClient c = Hookup("client-c");
    EXPECT_EQ(connect(c, ZEMB::cmShared), -1);
    EXPECT_EQ(connect(c, ZEMB::cmExclusive), -1);
    EXPECT_TRUE(Ok(b.Server->OpenDevice(sharedB, result), result));

    // Closing one of two opened connections keeps the device open for the other.
    EXPECT_TRUE(Ok(a.Server->CloseDevice(sharedA, result), result));
    std::int32_t count = 0;
    const std::vector<std::uint8_t> bytes = {0x21, 0x22, 0x23};
    EXPECT_TRUE(Ok(b.Server->WriteBuffer(sharedB, TSafeByteArray(bytes), count, result), result));
    TSafeByteArray answer(3, 1);
    EXPECT_TRUE(Ok(b.Server->ReadBuffer(sharedB, answer, count, result), result));
    EXPECT_EQ(answer, TSafeByteArray(bytes));
    // Unhooking closes and disconnects what the client left.
    EXPECT_TRUE(Ok(b.Server->UnhookClientApp(b.AppID, result), result));
    EXPECT_FALSE(DevInfo(*a.Server, fenwy).Active);
    EXPECT_NE(connect(c, ZEMB::cmShared), -1);
}

TEST_F(ServerUnderSim, SharedAccessSettingLetsClientsJoinAnOpenedDevice) {
    Start(TwoDevices, "[General]\r\nEnableSharedAccess=1\r\n");
    TClient a = Hookup("client-a");
    TClient b = Hookup("client-b");
    ASSERT_TRUE(a.Server && b.Server);
    const std::int32_t unknown = FirstDevice(a, ZEMB::dtNotRecognized);
    const std::int32_t sharedA = ConnectAndOpen(a, unknown, ZEMB::cmShared);
    const std::int32_t sharedB = ConnectAndOpen(b, unknown, ZEMB::cmShared);
    EXPECT_NE(sharedA, sharedB);
    bool result = true;
    std::int32_t refused = -1;
    ASSERT_EQ(
        b.Server->ConnectDevice(b.AppID, unknown, ZEMB::cmExclusive, nullptr, refused, result),
        S_OK);
    // b's own shared connection does not count against it; a's does.
    EXPECT_FALSE(result);

    // Both write through the one open device; each connection counts its own bytes.
    std::int32_t count = 0;
    ASSERT_EQ(a.Server->WriteBuffer(sharedA, TSafeByteArray(std::vector<std::uint8_t>{0x31, 0x32}),
                                    count, result),
              S_OK);
    EXPECT_TRUE(result);
    TSafeByteArray answer(2, 1);
    EXPECT_TRUE(Ok(b.Server->ReadBuffer(sharedB, answer, count, result), result));
    EXPECT_EQ(answer, TSafeByteArray(std::vector<std::uint8_t>{0x31, 0x32}));
    const std::size_t size = Server.CommunicationLog().size();
    EXPECT_THAT(Server.CommunicationLogFrom(size - 4),
                ElementsAre("TrafficStats (ConnectID " + std::to_string(sharedA) + "): W: 2  R: 0",
                            "WriteBuffer 2:2  ok",
                            "TrafficStats (ConnectID " + std::to_string(sharedB) + "): W: 0  R: 2",
                            "ReadBuffer 2:2  ok"));
}

TEST_F(ServerUnderSim, EnumerationsCallTheSinkWhichMayCallBackIntoTheServer) {
    Start();
    TClient client = Hookup("zemb-server-test");
    ASSERT_TRUE(client.Server);
    IZEMBServer4& server = *client.Server;
    TEventLog calls;
    auto sink = std::make_shared<TRecordingSink>(calls, "c");
    Server.TakeDebugLines();

    // Without a sink: False, nobody called.
    bool result = true;
    EXPECT_FALSE(Ok(server.EnumDevices2(client.AppID, ZEMB::dtFenwy, result), result));
    ASSERT_TRUE(Ok(server.SetZEMBHost2(client.AppID, sink, result), result));
    Server.TakeDebugLines();

    // The sink asks the server about each device while the enumeration runs.
    std::vector<std::string> names;
    sink->DuringCall = [&] { names.push_back(DevInfo(server, IdIn(calls.back())).FriendlyName); };
    EXPECT_TRUE(Ok(server.EnumDevices2(client.AppID, ZEMB::dtFenwy, result), result));
    ASSERT_EQ(calls.size(), 1u);
    const std::int32_t fenwy = IdIn(calls.front());
    EXPECT_THAT(names, ElementsAre("Fenwy Link (simulated)"));
    EXPECT_THAT(Server.TakeServerTraces(),
                ElementsAre(Comm3(">TZEMBServer4.EnumDevices2"), Comm3(">TZEMBServer.DevInfo"),
                            Comm3("<TZEMBServer.DevInfo"), Comm3("<TZEMBServer4.EnumDevices2")));
    EXPECT_TRUE(Ok(server.EnumDevices2(client.AppID, ZEMB::dtNotRecognized, result), result));
    // Beyond the enumeration: clamped to dtCorra, of which there is none.
    EXPECT_TRUE(Ok(server.EnumDevices2(client.AppID, 77, result), result));
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_NE(IdIn(calls[1]), fenwy);
    EXPECT_THAT(names, ElementsAre("Fenwy Link (simulated)", "Unrecognised box (simulated)"));
    sink->DuringCall = nullptr;

    const std::int32_t connectId = ConnectAndOpen(client, fenwy, ZEMB::cmShared);
    EXPECT_TRUE(Ok(server.EnumConnection2(client.AppID, result), result));
    EXPECT_EQ(calls.back(), "EnumConnection " + std::to_string(connectId) + " @c");

    // A sink that answers with a failure status: the enumeration ends in the call's barrier.
    sink->FailAt = 4; // its next call
    Server.TakeDebugLines();
    result = true;
    EXPECT_FALSE(Ok(server.EnumDevices2(client.AppID, ZEMB::dtFenwy, result), result));
    EXPECT_THAT(Server.TakeServerTraces(),
                ElementsAre(Comm3(">TZEMBServer4.EnumDevices2"),
                            "[RUVAzer Comm] TZEMBServer4.EnumDevices2 EOleSysError OLE error "
                            "80004005",
                            Comm3("<TZEMBServer4.EnumDevices2")));

    // A client that went away without unhooking: the server let its sink go, so the call
    // finds none, as for a client that never set one.
    std::int32_t goneId = -1;
    std::string goneName;
    {
        TClient gone = Hookup("zemb-gone");
        ASSERT_TRUE(gone.Server);
        ASSERT_EQ(gone.Server->SetZEMBHost2(
                      gone.AppID, std::make_shared<TRecordingSink>(calls, "gone"), result),
                  S_OK);
        ASSERT_TRUE(result);
        goneId = gone.AppID;
        goneName = gone.Bus->UniqueName();
    }
    ASSERT_TRUE(Server.WaitForNameGone(goneName, std::chrono::seconds(20)));
    Server.TakeDebugLines();
    result = true;
    ASSERT_EQ(server.EnumDevices2(goneId, ZEMB::dtFenwy, result), S_OK);
    EXPECT_FALSE(result);
    EXPECT_THAT(Server.TakeServerTraces(), ElementsAre(Comm3(">TZEMBServer4.EnumDevices2"),
                                                       Comm3("<TZEMBServer4.EnumDevices2")));
    // The failures cost the server nothing: the device still answers.
    std::int32_t count = 0;
    ASSERT_EQ(server.WriteBuffer(connectId, TSafeByteArray(std::vector<std::uint8_t>{0x44}), count,
                                 result),
              S_OK);
    EXPECT_TRUE(result);
}

TEST_F(ServerUnderSim, FailedTransfersAndPulledDevicesReachTheLogAndTheClient) {
    Start();
    TClient client = Hookup("zemb-server-test");
    ASSERT_TRUE(client.Server);
    IZEMBServer4& server = *client.Server;
    const std::int32_t fenwy = FirstDevice(client, ZEMB::dtFenwy);
    TEventLog calls;
    const std::int32_t connectId = ConnectAndOpen(client, fenwy, ZEMB::cmExclusive,
                                                  std::make_shared<TRecordingEvent>(calls, "c"));
    const std::string c = std::to_string(connectId);
    const std::size_t start = Server.CommunicationLog().size();
    bool result = true;
    std::int32_t count = -1;

    // A transfer the device fails, also on the transport's one retry: the pair is written
    // all the same, ending in not ok.
    ASSERT_TRUE(Server.Control({"fault", "fenwy", "fail", "2"}));
    EXPECT_FALSE(Ok(server.WriteBuffer(connectId, TSafeByteArray(4, 1), count, result), result));
    EXPECT_THAT(
        Server.CommunicationLogFrom(start),
        ElementsAre("TrafficStats (ConnectID " + c + "): W: 0  R: 0", "WriteBuffer 4:0  not ok"));
    const std::vector<std::uint8_t> bytes = {0x61, 0x62, 0x63, 0x64};
    EXPECT_TRUE(Ok(server.WriteBuffer(connectId, TSafeByteArray(bytes), count, result), result));
    TSafeByteArray answer(4, 1);
    EXPECT_TRUE(Ok(server.ReadBuffer(connectId, answer, count, result), result));
    EXPECT_EQ(answer, TSafeByteArray(bytes));
    EXPECT_THAT(
        Server.CommunicationLogFrom(start),
        ElementsAre("TrafficStats (ConnectID " + c + "): W: 4  R: 4", "ReadBuffer 4:4  ok"));

    // Pulled out: the client is told between its calls, the connection has no device left.
    ASSERT_TRUE(Server.Control({"unplug", "fenwy"}));
    Await(client, [&] { return !calls.empty(); });
    EXPECT_THAT(calls, ElementsAre("Disconnected " + c + " @c"));
    const TConnection pulled = ConnectInfo(server, connectId);
    EXPECT_TRUE(pulled.Result);
    EXPECT_FALSE(pulled.Connected);
    EXPECT_EQ(pulled.DevID, -1);
    EXPECT_FALSE(Ok(server.WriteBuffer(connectId, TSafeByteArray(2, 1), count, result), result));
    EXPECT_FALSE(Ok(server.OpenDevice(connectId, result), result));
    EXPECT_THAT(Server.CommunicationLogFrom(start),
                ElementsAre("TrafficStats (ConnectID " + c + "): W: 4  R: 4",
                            "WriteBuffer 2:0  not ok", "OpenDevice (ConnectID " + c + "):  not ok",
                            "   DevID: -1", "   ClientAppID: " + std::to_string(client.AppID),
                            "   Mode: cmExclusive"));

    // Back again with the same identity: same DevID, the client told, and a new connect of
    // the same client and mode gives the old connection back.
    ASSERT_TRUE(Server.Control({"plug", "fenwy"}));
    Await(client, [&] { return calls.size() == 2; });
    EXPECT_THAT(calls, ElementsAre("Disconnected " + c + " @c", "Reconnected " + c + " @c"));
    EXPECT_EQ(ConnectAndOpen(client, fenwy, ZEMB::cmExclusive), connectId);
    EXPECT_TRUE(Ok(server.WriteBuffer(connectId, TSafeByteArray(bytes), count, result), result));
}

TEST_F(ServerUnderSim, AClientKilledWithoutUnhookingNoLongerKeepsLaterClientsFromDeviceChanges) {
    Start();
    // Client A, registered first, with a sink and a connection callback; then killed.
    TProcess a;
    ASSERT_TRUE(a.Start({ZEMB_CALLBACK_CLIENT}));
    ASSERT_TRUE(a.WaitForLine("ready", std::chrono::seconds(20))) << a.Output();
    std::string aName;
    std::int32_t aAppId = -1, aConnectId = -1;
    std::istringstream output(a.Output());
    for (std::string line; std::getline(output, line);) {
        if (line.rfind("name ", 0) == 0)
            aName = line.substr(5);
        std::sscanf(line.c_str(), "ids %d %d", &aAppId, &aConnectId);
    }
    ASSERT_FALSE(aName.empty());
    ASSERT_GE(aConnectId, 0);

    TClient client = Hookup("zemb-server-test");
    ASSERT_TRUE(client.Server);
    IZEMBServer4& server = *client.Server;
    ASSERT_GT(client.AppID, aAppId);
    TEventLog calls;
    bool result = false;
    ASSERT_EQ(
        server.SetZEMBHost2(client.AppID, std::make_shared<TRecordingSink>(calls, "B"), result),
        S_OK);
    ASSERT_TRUE(result);
    const std::int32_t fenwy = FirstDevice(client, ZEMB::dtFenwy);
    std::int32_t connectId = -1;
    ASSERT_EQ(server.ConnectDevice(client.AppID, fenwy, ZEMB::cmShared,
                                   std::make_shared<TRecordingEvent>(calls, "b"), connectId,
                                   result),
              S_OK);
    ASSERT_TRUE(result);

    a.Signal(SIGKILL);
    ASSERT_TRUE(Server.WaitForNameGone(aName, std::chrono::seconds(20)));
    // Its registration stays (this call also comes after the server heard that A left).
    std::uint8_t type = 0;
    std::string computer, exe;
    ASSERT_EQ(server.ClientAppInfo(aAppId, type, computer, exe, result), S_OK);
    EXPECT_TRUE(result);
    EXPECT_EQ(exe, "zemb-callback-client");

    // Pulled out: DeviceRemoved reaches B's sink before B's connection hears Disconnected.
    ASSERT_TRUE(Server.Control({"unplug", "fenwy"}));
    const std::string d = std::to_string(fenwy), c = std::to_string(connectId);
    Await(client, [&] { return calls.size() == 2; });
    EXPECT_THAT(calls, ElementsAre("DeviceRemoved " + d + " @B", "Disconnected " + c + " @b"));

    // Back again: Reconnected first, then DeviceAdded to every sink.
    ASSERT_TRUE(Server.Control({"plug", "fenwy"}));
    Await(client, [&] { return calls.size() == 4; });
    EXPECT_THAT(calls, ElementsAre("DeviceRemoved " + d + " @B", "Disconnected " + c + " @b",
                                   "Reconnected " + c + " @b", "DeviceAdded " + d + " @B"));

    // A's connection is still recorded under A.
    const TConnection left = ConnectInfo(server, aConnectId);
    EXPECT_TRUE(left.Result);
    EXPECT_EQ(left.AppID, aAppId);
    EXPECT_EQ(left.Mode, ZEMB::cmShared);
}
