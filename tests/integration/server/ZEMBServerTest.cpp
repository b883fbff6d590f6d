// SPDX-License-Identifier: MIT
// The server object with the real host and device layer on simulated link devices
// (zemb-sim -- zemb-server), through libzemb-client on the private session bus: the
// communication log read through the operator interface, the call frame read from the
// server's debug output; and clients that misbehave (zemb_chaos_client) while a healthy one
// beside them is served; the operator interface's paged reads and change signal.
#include "RecordingSinks.h"
#include "SimServer.h"
#include "TestProcess.h"
#include "bus/BusConnection.h"
#include "bus/Marshal.h"
#include "contract/InterfaceTable.h"
#include "contract/OperatorInterface.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>
#include <zemb/ZEMBClient.h>

using namespace ZEMB;

using ::testing::AllOf, ::testing::Contains, ::testing::Each, ::testing::ElementsAre, ::testing::Ge,
    ::testing::HasSubstr, ::testing::Le, ::testing::Not;

namespace {

// A Fenwy on libusb and a box that identification cannot classify, on pipe files.
constexpr const char* TwoDevices =
    "[fenwy]\nDriver=winusb_st\nVendorId=0483\nProductId=a7f1\nInstance=FWY000042007\n"
    "FriendlyName=Fenwy Link (simulated)\nFirmware=2.04\nRamSize=0x0900\nSerialNumber=20401234\n"
    "[unknown]\nDriver=silabs\nVendorId=10c4\nProductId=ea60\n";

// The expected lines of one call, '|' between lines; {a} {b} {c} {f} stand for the ids
// the calls found. Frame lines: "=Name" is a call's entry and exit line in RUVAzerComm3,
// "~Name" the same in RUVAzerCommTraffic, a line that starts with '[' stands as it is, any
// other line is in RUVAzerComm3.
using TIds = std::map<std::string, const std::int32_t*>;

std::vector<std::string> Lines(const std::string& text, const TIds& ids, bool frame) {
    std::string all = text;
    for (const auto& [key, value] : ids)
        for (std::size_t at; (at = all.find("{" + key + "}")) != std::string::npos;)
            all.replace(at, key.size() + 2, std::to_string(*value));
    std::vector<std::string> lines;
    std::istringstream in(all);
    for (std::string line; !all.empty() && std::getline(in, line, '|');) {
        if (!frame || line.starts_with("["))
            lines.push_back(line);
        else if (line.starts_with("=") || line.starts_with("~")) {
            const std::string group = line[0] == '=' ? "[RUVAzerComm3] " : "[RUVAzerCommTraffic] ";
            lines.push_back(group + ">" + line.substr(1));
            lines.push_back(group + "<" + line.substr(1));
        } else
            lines.push_back("[RUVAzerComm3] " + line);
    }
    return lines;
}

// One call through the bus: its status must be S_OK, its Result the expected one; Log is the
// communication log after the call, which starts from an empty one; Then checks what the call
// gave back.
// clang-format off
struct TStep { const char* Name; std::function<HRESULT(bool& result)> Call; bool Result;
               const char* Frame; const char* Log; std::function<void()> Then = {}; };
// clang-format on

void RunSteps(TSimServer& server, const std::vector<TStep>& steps, const TIds& ids) {
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const TStep& step = steps[i];
        SCOPED_TRACE(std::to_string(i) + ": " + step.Name);
        ASSERT_TRUE(server.ClearCommunicationLog());
        server.TakeDebugLines();
        bool result = !step.Result;
        EXPECT_EQ(step.Call(result), S_OK);
        EXPECT_EQ(result, step.Result);
        const std::vector<std::string> frame = Lines(step.Frame, ids, true);
        EXPECT_EQ(server.TakeServerTraces(frame.size()), frame);
        EXPECT_EQ(server.CommunicationLog(), Lines(step.Log, ids, false));
        if (step.Then)
            step.Then();
    }
}

// One client application: its own bus connection and server object.
struct TClient {
    std::unique_ptr<TZEMBClient> Bus;
    std::shared_ptr<IZEMBServer4> Server;
    std::int32_t AppID = -1;
};

class ServerUnderSim : public ::testing::Test {
protected:
    void Start(std::string fenwyIni = {}) {
        std::string why;
        ASSERT_TRUE(Server.Start({TwoDevices, std::move(fenwyIni)}, why)) << why;
        Server.TakeDebugLines();
    }

    TClient Connect() {
        TClient client{TZEMBClient::Connect(), nullptr};
        if (client.Bus)
            client.Server = client.Bus->CreateInstance(CLASS_ZEMBServer4);
        EXPECT_TRUE(client.Server);
        return client;
    }

    // A client of type aciBase, which may use every device type.
    TClient Hookup(const std::string& exeName) {
        TClient client = Connect();
        bool result = false;
        EXPECT_TRUE(client.Server &&
                    client.Server->HookupClientApp2(aciBase, getpid(), "testhost", exeName,
                                                    client.AppID, result) == S_OK &&
                    result);
        return client;
    }

    // The first device of the type for the client, which must be found.
    std::int32_t First(TClient& client, std::uint8_t type) {
        std::int32_t devId = -1;
        bool found = false;
        EXPECT_EQ(client.Server->FirstDevice2(type, client.AppID, cmShared, devId, found), S_OK);
        EXPECT_TRUE(found) << int(type);
        return devId;
    }

    void Write(TClient& client, std::int32_t connectId, const TSafeByteArray& bytes) {
        std::int32_t count = 0;
        bool result = false;
        EXPECT_EQ(client.Server->WriteBuffer(connectId, bytes, count, result), S_OK);
        EXPECT_TRUE(result);
    }

    std::int32_t ConnectAndOpen(TClient& client, std::int32_t devId,
                                const std::shared_ptr<IZEMBEvent>& events = nullptr,
                                bool open = true) {
        std::int32_t connectId = -1;
        bool connected = false, opened = !open;
        EXPECT_EQ(client.Server->ConnectDevice(client.AppID, devId, cmShared, events, connectId,
                                               connected),
                  S_OK);
        EXPECT_TRUE(!open || client.Server->OpenDevice(connectId, opened) == S_OK);
        EXPECT_TRUE(connected && opened);
        return connectId;
    }

    // Serves the client's callbacks until the condition holds; false at the bound.
    static bool Serve(TClient& client, const std::function<bool()>& condition) {
        return WaitUntil([&] { return (void)client.Bus->WaitForEvents(20ms), condition(); },
                         StartBound);
    }

    void TearDown() override {
        // Ended by the server's own rules: SIGTERM closes the devices and frees the host.
        EXPECT_EQ(Server.Stop(), 0);
    }

    TSimServer Server;
};

} // namespace

TEST_F(ServerUnderSim, EveryCallWritesItsFrameAndLogLines) {
    Start();
    TClient client = Connect();
    ASSERT_TRUE(client.Server);
    IZEMBServer4& s = *client.Server;
    TEventLog calls;
    auto sink = std::make_shared<TRecordingSink>(calls, "c");
    auto enumSink = std::make_shared<TRecordingSink>(calls, "d");
    std::int32_t corra = -1, app = -1, fenwy = -1, unknown = -1, c = -1, devId = -1, n = -1, m = -1;
    const TIds ids = {{"a", &app}, {"b", &corra}, {"c", &c}, {"f", &fenwy}};
    const std::vector<std::uint8_t> bytes = {0x5A, 0x01, 0xA5, 0xFF, 0x00, 0x42};
    TSafeByteArray answer(6, 1), empty, unread(8, 1), large(MaxTransferBytes + 1, 1);
    std::int32_t dev = -1, owner = -1;
    std::uint8_t type = 0, mode = 9;
    bool connected = false, active = false;
    std::string computer, exe;
    TDevInfo info;
    // The in-ref Mode is an input only on the bus.
    auto devInfo = [&](std::int32_t devId, bool& r) {
        info = {};
        info.Mode = 7;
        const HRESULT status = GetDevInfo(s, devId, info);
        r = info.Result;
        return status;
    };
    // The connection callback of each ConnectDevice is a new object: a reconnect drops the
    // earlier one, which the next call's frame reports.
    auto events = [&] { return std::make_shared<TRecordingEvent>(calls, "e"); };
    const char* const reconnect = "(Re)ConnectDevice (ConnectID {c}):  ok|   ClientAppID: {a}|"
                                  "   DevType: dtFenwy|   Mode: cmShared|   DevID: {f}";

    // A step whose call is one expression, named by its text, with Result in r.
#define CALL(...) #__VA_ARGS__, [&](bool& r) { return __VA_ARGS__; }
    // clang-format off
    RunSteps(Server, {
        // Type 9 is clamped to aciCorra; the first interface's hook-up runs the second's.
        {CALL(s.HookupClientApp(9, "testhost", "corra-klient-ä", corra, r)), true,
         ">TZEMBServer.HookupClientApp|>TZEMBServer.HookupClientApp2|"
         "<TZEMBServer.HookupClientApp2|<TZEMBServer.HookupClientApp",
         "HookupClientApp:  ok|  ClientAppID: {b}|  ClientExeName: corra-klient-ä"},
        {CALL(s.ClientAppInfo(corra, type, computer, exe, r)), true, "=TZEMBServer.ClientAppInfo",
         "", [&] { EXPECT_EQ(std::tuple(type, computer, exe),
                               std::tuple(aciCorra, "testhost", "corra-klient-ä")); }},
        // The same sink again is refused: the client's object path names one sink.
        {CALL(s.SetZEMBHost2(corra, sink, r)), true, "=TZEMBServer.SetZEMBHost", ""},
        {CALL(s.SetZEMBHost2(corra, sink, r)), false, "=TZEMBServer.SetZEMBHost", ""},
        {CALL(s.EnumApplications2(corra, r)), true, "=TZEMBServer4.EnumApplications2", ""},
        {CALL(s.EnumConnection2(corra, r)), true, "=TZEMBServer4.EnumConnections2", ""},
        {CALL(s.TotalBufferSize(12345, n, r)), false, "=TZEMBServer3.TotalBufferSize", ""},
        {CALL(s.StartSession(-1, r)), false, "=TZEMBServer3.StartSession", ""},
        {CALL(s.EndSession(-1, r)), false, "=TZEMBServer3.EndSession", ""},
        // The first interface's stubs.
        {CALL(s.EnumDevices(dtFenwy, r)), false, "[] >TZEMBServer.EnumDevices", ""},
        {CALL(s.EnumApplications(r)), false, "[] TZEMBServer.EnumApplications", ""},
        {CALL(s.EnumConnections(r)), false, "[] TZEMBServer.EnumConnections", ""},
        {CALL(s.SetZEMBHost(sink, r)), false, "[] TZEMBServer.SetZEMBHost", ""},
        {CALL(s.SetSuperUseMode(r)), true, "", ""},
        {CALL(s.HookupClientApp2(aciBase, getpid(), "testhost", "zemb-server-test", app, r)), true,
         "=TZEMBServer.HookupClientApp2",
         "HookupClientApp:  ok|  ClientAppID: {a}|  ClientExeName: zemb-server-test"},
        {CALL(s.FirstDevice2(dtFenwy, app, cmShared, fenwy, r)), true,
         "=TZEMBServer.FirstDevice2", ""},
        // Only Mirel and Fenwy fall back to an unrecognised device; a type or mode beyond
        // its enumeration is clamped to the last one.
        {CALL(s.FirstDevice2(dtMirel, app, cmExclusive, unknown, r)), true,
         "=TZEMBServer.FirstDevice2",
         "No device found (dtMirel cmExclusive). Using NotRecognized device instead"},
        {CALL(s.FirstDevice2(dtBrisk, app, cmExclusive, devId, r)), false,
         "=TZEMBServer.FirstDevice2", "No device found (dtBrisk cmExclusive)"},
        {CALL(s.FirstDevice2(200, app, 200, devId, r)), false, "=TZEMBServer.FirstDevice2",
         "No device found (dtCorra cmShared)"},
        {CALL(devInfo(fenwy, r)), true, "=TZEMBServer.DevInfo", "", [&, &i = info] {
             EXPECT_EQ(std::tuple(i.Mode, i.Active, i.FriendlyName, i.DevType, i.Firmware),
                       std::tuple(7, false, "Fenwy Link (simulated)", dtFenwy, 0x0204));
             EXPECT_TRUE(info.LinkName.starts_with("usb#vid_0483&pid_a7f1#FWY000042007#{")); }},
        {CALL(devInfo(4711, r)), false,
         ">TZEMBServer.DevInfo|[] TUSB_IFHostLocal.DevInfo -> False|<TZEMBServer.DevInfo", "",
         [&] { EXPECT_EQ(info.LinkName + info.FriendlyName, ""); }},
        {CALL(s.TotalBufferSize(fenwy, n, r)), true, "=TZEMBServer3.TotalBufferSize", "",
         [&] { EXPECT_EQ(n, 0x0900 - 256); }},
        // Refused at the host's DevInfo: no log line.
        {CALL(s.ConnectDevice(app, 4711, cmShared, nullptr, c, r)), false,
         ">TZEMBServer.ConnectDevice|[] TUSB_IFHostLocal.DevInfo -> False|"
         "<TZEMBServer.ConnectDevice", ""},
        // Mode 5 is clamped to cmShared.
        {CALL(s.ConnectDevice(app, fenwy, 5, events(), c, r)), true, "=TZEMBServer.ConnectDevice",
         "ConnectDevice (ConnectID {c}):  ok|   ClientAppID: {a}|   DevType: dtFenwy|"
         "   Mode: cmShared|   DevID: {f}"},
        {CALL(s.OpenDevice(c, r)), true, "=TZEMBServer.OpenDevice",
         "OpenDevice (ConnectID {c}):  ok|   DevID: {f}|   ClientAppID: {a}|   Mode: cmShared"},
        // A write, then a read of the same length: the device's echo.
        {CALL(s.WriteBuffer(c, TSafeByteArray(bytes), n, r)), true, "~TZEMBServer.WriteBuffer",
         "TrafficStats (ConnectID {c}): W: 6  R: 0|WriteBuffer 6:6  ok"},
        {CALL(s.ReadBuffer(c, answer, n, r)), true, "~TZEMBServer.ReadBuffer",
         "TrafficStats (ConnectID {c}): W: 6  R: 6|ReadBuffer 6:6  ok",
         [&] { EXPECT_EQ(answer, TSafeByteArray(bytes)); }},
        // Nothing to read is read at once; more than MaxTransferBytes is refused unmoved.
        {CALL(s.ReadBuffer(c, empty, n, r)), true, "~TZEMBServer.ReadBuffer",
         "TrafficStats (ConnectID {c}): W: 6  R: 6|ReadBuffer 0:0  ok"},
        {CALL(s.WriteBuffer(c, TSafeByteArray(MaxTransferBytes + 1, 1), n, r)), false,
         "[RUVAzerCommTraffic] >TZEMBServer.WriteBuffer|[RUVAzer Comm] TZEMBServer.WriteBuffer: "
         "16777217 bytes exceed the maximum of 16777216|"
         "[RUVAzerCommTraffic] <TZEMBServer.WriteBuffer",
         "TrafficStats (ConnectID {c}): W: 6  R: 6|WriteBuffer 16777217:0  not ok"},
        {CALL(s.ReadBuffer(c, large, n, r)), false,
         "[RUVAzerCommTraffic] >TZEMBServer.ReadBuffer|[RUVAzer Comm] TZEMBServer.ReadBuffer: "
         "16777217 bytes exceed the maximum of 16777216|"
         "[RUVAzerCommTraffic] <TZEMBServer.ReadBuffer",
         "TrafficStats (ConnectID {c}): W: 6  R: 6|ReadBuffer 16777217:0  not ok"},
        {CALL(s.TrafficStat(c, n, m, r)), true, "~TZEMBServer.TrafficStat", "",
         [&] { EXPECT_EQ(n * 100 + m, 606); }},
        {CALL(s.ConnectInfo(c, dev, owner, connected, active, mode, r)), true,
         "=TZEMBServer.ConnectInfo", "", [&] { EXPECT_EQ(std::tuple(dev, owner, connected, active,
                         mode), std::tuple(fenwy, app, true, true, cmShared)); }},
        // Failures: every one logged, the ConnectID part left out for -1.
        {CALL(s.OpenDevice(99, r)), false, "=TZEMBServer.OpenDevice",
         "OpenDevice (ConnectID 99):  not ok|TZEMBServer.OpenDevice: FHost.ConnectInfo fail99"},
        {CALL(s.OpenDevice(-1, r)), false, "=TZEMBServer.OpenDevice",
         "OpenDevice not ok|TZEMBServer.OpenDevice: FHost.ConnectInfo fail-1"},
        {CALL(s.CloseDevice(-1, r)), false, "=TZEMBServer.CloseDevice", "CloseDevice not ok"},
        {CALL(s.ReadBuffer(99, unread, n, r)), false, "~TZEMBServer.ReadBuffer",
         "TrafficStats (ConnectID 99): W: 0  R: 0|ReadBuffer 8:0  not ok"},
        // A transfer the device fails, also on the transport's one retry.
        {CALL(Server.Control({"fault", "fenwy", "fail", "2"})
                  ? s.WriteBuffer(c, TSafeByteArray(4, 1), n, r) : E_FAIL),
         false, "~TZEMBServer.WriteBuffer",
         "TrafficStats (ConnectID {c}): W: 6  R: 6|WriteBuffer 4:0  not ok"},
        {CALL(s.CloseDevice(c, r)), true, "=TZEMBServer.CloseDevice",
         "CloseDevice (ConnectID {c}):  ok"},
        // The same client and mode again: the first connection back each time.
        {CALL(s.ConnectDevice(app, fenwy, cmShared, events(), devId, r)), true,
         "=TZEMBServer.ConnectDevice", reconnect, [&] { EXPECT_EQ(devId, c); }},
        {CALL(s.ConnectDevice(app, fenwy, cmShared, events(), devId, r)), true,
         ">TZEMBServer.CheckStrayInterfaces: 1|=TZEMBServer.ConnectDevice", reconnect},
        // A pending stray interface is reported once, by the next call of any kind; the
        // first interface's FirstDevice checks before its own entry line and writes the
        // DevID also when it found nothing.
        {CALL(s.FirstDevice(dtFenwy, cmShared, devId, r)), true,
         ">TZEMBServer.CheckStrayInterfaces: 1|>TZEMBServer.FirstDevice|=TZEMBServer.FirstDevice2|"
         "TZEMBServer.FirstDevice. DevID: {f}|<TZEMBServer.FirstDevice", ""},
        {CALL(s.FirstDevice(dtCorra, cmExclusive, devId, r)), false,
         ">TZEMBServer.FirstDevice|=TZEMBServer.FirstDevice2|TZEMBServer.FirstDevice. DevID: 0|"
         "<TZEMBServer.FirstDevice", "No device found (dtCorra cmExclusive)"},
        {CALL(s.SetZEMBHost2(app, enumSink, r)), true, "=TZEMBServer.SetZEMBHost", ""},
        {CALL(s.EnumDevices2(app, dtFenwy, r)), true, "=TZEMBServer4.EnumDevices2", ""},
        // Beyond the enumeration: clamped to dtCorra, of which there is none.
        {CALL(s.EnumDevices2(app, 77, r)), true, "=TZEMBServer4.EnumDevices2", ""},
        // A sink that answers with a failure status: the enumeration ends in the barrier.
        {CALL((enumSink->FailAt = 2, s.EnumDevices2(app, dtFenwy, r))), false,
         ">TZEMBServer4.EnumDevices2|[RUVAzer Comm] TZEMBServer4.EnumDevices2 EOleSysError OLE "
         "error 80004005|<TZEMBServer4.EnumDevices2", ""},
        {CALL(s.DisconnectDevice(c, r)), true, "=TZEMBServer.DisconnectDevice",
         "DisconnectDevice (ConnectID {c}):  ok"},
        {CALL(s.DisconnectDevice(c, r)), false, "=TZEMBServer.DisconnectDevice",
         "DisconnectDevice (ConnectID {c}):  not ok"},
        // Its line comes after the exit trace, with or without the host's consent.
        {CALL(s.UnhookClientApp(corra, r)), true, "=TZEMBServer.UnhookClientApp",
         "UnhookClientApp (ClientAppID: {b})"},
        {CALL(s.UnhookClientApp(77, r)), false, "=TZEMBServer.UnhookClientApp",
         "UnhookClientApp (ClientAppID: 77)"},
    }, ids);
    // clang-format on
#undef CALL

    const std::string d = "EnumDevice " + std::to_string(fenwy) + " @d";
    EXPECT_THAT(calls, ElementsAre("EnumApplication 0 @c",
                                   "EnumApplication " + std::to_string(corra) + " @c", d, d));
}

// Two clients on one opened device, which only EnableSharedAccess in FENWY.INI allows.
TEST_F(ServerUnderSim, TrafficPairsKeepTheirPlaceAndAPulledDeviceLeavesItsConnection) {
    Start("[General]\r\nEnableSharedAccess=1\r\n");
    TClient a = Hookup("client-a");
    TClient b = Hookup("client-b");
    ASSERT_TRUE(a.Server && b.Server);
    const std::int32_t fenwy = First(a, dtFenwy);
    TEventLog calls;
    const std::int32_t first =
        ConnectAndOpen(a, fenwy, std::make_shared<TRecordingEvent>(calls, "a"));
    const std::int32_t second = ConnectAndOpen(b, fenwy);
    const std::string x = std::to_string(first), y = std::to_string(second);
    ASSERT_TRUE(Server.ClearCommunicationLog());

    // One connection's writes keep one pair up to date; another connection's write starts a
    // pair of its own, and so does any other line: the first connection's next write does
    // not go back to its old pair.
    for (int i = 0; i < 10; ++i)
        Write(a, first, TSafeByteArray(4, 1));
    Write(b, second, TSafeByteArray(3, 1));
    Write(b, second, TSafeByteArray(5, 1));
    Write(a, first, TSafeByteArray(2, 1));
    bool result = true;
    ASSERT_EQ(a.Server->OpenDevice(99, result), S_OK);
    Write(a, first, TSafeByteArray(1, 1));
    Write(a, first, TSafeByteArray(1, 1));
    EXPECT_THAT(
        Server.CommunicationLog(),
        ElementsAre("TrafficStats (ConnectID " + x + "): W: 40  R: 0", "WriteBuffer 4:4  ok",
                    "TrafficStats (ConnectID " + y + "): W: 8  R: 0", "WriteBuffer 5:5  ok",
                    "TrafficStats (ConnectID " + x + "): W: 42  R: 0", "WriteBuffer 2:2  ok",
                    "OpenDevice (ConnectID 99):  not ok",
                    "TZEMBServer.OpenDevice: FHost.ConnectInfo fail99",
                    "TrafficStats (ConnectID " + x + "): W: 44  R: 0", "WriteBuffer 1:1  ok"));

    // Pulled out: the client is told between its calls, the connection has no device left.
    ASSERT_TRUE(Server.Control({"unplug", "fenwy"}));
    ASSERT_TRUE(Serve(a, [&] { return !calls.empty(); }));
    EXPECT_THAT(calls, ElementsAre("Disconnected " + x + " @a"));
    ASSERT_TRUE(Server.ClearCommunicationLog());
    ASSERT_EQ(a.Server->OpenDevice(first, result), S_OK);
    EXPECT_FALSE(result);
    EXPECT_THAT(Server.CommunicationLog(),
                ElementsAre("OpenDevice (ConnectID " + x + "):  not ok", "   DevID: -1",
                            "   ClientAppID: " + std::to_string(a.AppID), "   Mode: cmShared"));
}

// Bytes a client leaves unread on its device are no reply to identification: when another
// device is pulled out, the rescan identifies the first one again, finds it the same device,
// and its client keeps its connection.
TEST_F(ServerUnderSim, UnreadBytesDoNotMakeARescanDropTheDevice) {
    Start();
    TClient a = Hookup("client-a");
    ASSERT_TRUE(a.Server);
    // Mirel falls back to the unrecognised box.
    const std::int32_t fenwy = First(a, dtFenwy), unknown = First(a, dtMirel);
    TEventLog calls;
    const std::int32_t c = ConnectAndOpen(a, fenwy, std::make_shared<TRecordingEvent>(calls, "a"));
    Write(a, c, TSafeByteArray(std::vector<std::uint8_t>{0x21, 0x22}));
    Server.TakeDebugLines();

    // Once the box is gone, the rescan has identified the Fenwy again.
    ASSERT_TRUE(Server.Control({"unplug", "unknown"}));
    TDevInfo info;
    ASSERT_TRUE(
        Serve(a, [&] { return GetDevInfo(*a.Server, unknown, info) == S_OK && !info.Result; }));
    EXPECT_THAT(calls, ::testing::IsEmpty());
    std::int32_t devId = -1, appId = -1;
    bool connected = false, active = false, result = false;
    std::uint8_t mode = 0;
    ASSERT_EQ(a.Server->ConnectInfo(c, devId, appId, connected, active, mode, result), S_OK);
    ASSERT_EQ(GetDevInfo(*a.Server, fenwy, info), S_OK);
    EXPECT_EQ(std::tuple(devId, int(info.DevType)), std::tuple(fenwy, int(dtFenwy)));
    // The drain's empty read is no failed transfer.
    EXPECT_THAT(Server.TakeDebugLines(), Each(Not(HasSubstr("ReadBuffer"))));
}

// A sink that calls back without end is cut off at the nesting limit (here the client library's
// pump, which is the server's, refuses first): the server neither runs out of stack nor refuses
// the client beside it, whose calls are answered all along.
TEST_F(ServerUnderSim, EndlessNestingIsCutAtTheLimitWhileAnotherClientIsServed) {
    Start();
    TClient recursive = Hookup("recursive.exe");
    ASSERT_TRUE(recursive.Server);
    // Answers every EnumDevice with another EnumDevices2, as deep as the server lets it go.
    TEventLog log;
    auto sink = std::make_shared<TRecordingSink>(log, "r");
    int depth = 0, maxDepth = 0;
    std::function<void(int depth)> atDepth;
    sink->DuringCall = [&] {
        maxDepth = std::max(maxDepth, ++depth);
        atDepth(depth);
        bool nested = false;
        recursive.Server->EnumDevices2(recursive.AppID, dtFenwy, nested);
        --depth;
    };
    bool result = false;
    ASSERT_EQ(recursive.Server->SetZEMBHost2(recursive.AppID, sink, result), S_OK);

    // The healthy client calls again and again from a process of its own.
    TProcess healthy;
    ASSERT_TRUE(healthy.Start({ZEMB_CHAOS_CLIENT, "healthy"}));
    ASSERT_TRUE(healthy.WaitForText("answered", StartBound)) << healthy.Output();
    // Halfway down, while the server waits for the sink, it answers the healthy client.
    bool servedMeanwhile = false;
    atDepth = [&](int depth) {
        if (depth != MaxCallDepth / 2)
            return;
        // The answers so far; the one after the next is one given while the server waits here.
        long last = 0;
        const auto until = std::chrono::steady_clock::now() + 500ms;
        while (std::chrono::steady_clock::now() < until)
            if (auto line = healthy.ReadLine(1ms))
                last = std::atol(line->c_str() + line->find(' '));
            else
                break;
        servedMeanwhile = healthy.WaitForText("answered " + std::to_string(last + 2), 4s);
    };
    ASSERT_EQ(recursive.Server->EnumDevices2(recursive.AppID, dtFenwy, result), S_OK);
    EXPECT_TRUE(healthy.WaitForText("answered", StartBound));
    healthy.Signal(SIGKILL);
    healthy.WaitForExit(EndBound);

    // One side or the other refuses the call that would go past the limit.
    EXPECT_THAT(maxDepth, AllOf(Ge(MaxCallDepth - 1), Le(MaxCallDepth)));
    EXPECT_TRUE(servedMeanwhile);
    EXPECT_THAT(healthy.Output(), Not(HasSubstr("failed")));
    // Still up and serving the client that drove it.
    std::uint8_t type = 0;
    std::string computer, exe;
    EXPECT_EQ(recursive.Server->ClientAppInfo(recursive.AppID, type, computer, exe, result), S_OK);
    EXPECT_EQ(exe, "recursive.exe");
}

// Whatever the clients registered before it do (a sink that never answers, a sink path it no
// longer serves, a client killed inside its callback, one killed inside a session), the client
// registered last hears of an unplug and a replug, every callback in its order, and may start
// its session at once.
TEST_F(ServerUnderSim, AHealthyClientHearsEveryDeviceChangeWhateverTheOthersDo) {
    Start();
    auto start = [&](TProcess& process, const char* mode) {
        ASSERT_TRUE(process.Start({ZEMB_CHAOS_CLIENT, mode}));
        ASSERT_TRUE(process.WaitForText("ready", StartBound)) << mode << process.Output();
    };
    TProcess inSession, inCallback, stalled;
    start(inSession, "session");
    start(inCallback, "callback");
    start(stalled, "stall");
    TClient unserved = Hookup("unserved.exe");
    TEventLog never;
    auto gone = std::make_shared<TRecordingSink>(never, "gone");
    bool result = false;
    ASSERT_EQ(unserved.Server->SetZEMBHost2(unserved.AppID, gone, result), S_OK);
    unserved.Bus->Revoke(std::static_pointer_cast<IZEMBHost>(gone));

    TEventLog calls;
    TClient healthy = Hookup("healthy.exe");
    ASSERT_EQ(healthy.Server->SetZEMBHost2(healthy.AppID,
                                           std::make_shared<TRecordingSink>(calls, "h"), result),
              S_OK);
    const std::int32_t devId = First(healthy, dtFenwy);
    const std::int32_t connectId =
        ConnectAndOpen(healthy, devId, std::make_shared<TRecordingEvent>(calls, "h"), false);

    // Killed inside its session: once the bus has seen it go, the session is over.
    const std::string& ready = inSession.Output();
    const std::string owner = ready.substr(ready.find(':'), ready.find('\n') - ready.find(':'));
    inSession.Signal(SIGKILL);
    inSession.WaitForExit(EndBound);
    ASSERT_TRUE(WaitUntil([&] { return !Server.Bus().NameHasOwner(owner); }, EndBound));
    ASSERT_EQ(healthy.Server->StartSession(connectId, result), S_OK);
    EXPECT_TRUE(result) << "the session of the killed client still holds the device";
    ASSERT_EQ(healthy.Server->EndSession(connectId, result), S_OK);

    auto await = [&](std::size_t n) {
        return Serve(healthy,
                     [&] { return (void)unserved.Bus->ProcessEvents(), calls.size() >= n; });
    };
    const std::string d = std::to_string(devId), c = std::to_string(connectId);
    Server.TakeDebugLines();
    ASSERT_TRUE(Server.Control({"unplug", "fenwy"}));
    ASSERT_TRUE(await(2));
    ASSERT_TRUE(Server.Control({"plug", "fenwy"}));
    ASSERT_TRUE(await(4));
    EXPECT_EQ(calls, (TEventLog{"DeviceRemoved " + d + " @h", "Disconnected " + c + " @h",
                                "Reconnected " + c + " @h", "DeviceAdded " + d + " @h"}));
    // The three failing sinks are each written down, as the call barrier writes a failure.
    std::vector<std::string> lines;
    auto failures = [&] {
        std::ranges::copy(Server.TakeDebugLines(), std::back_inserter(lines));
        return std::ranges::count_if(lines, [](const std::string& line) {
            return line.find("RescanDevices DeviceRemoved EOleSysError") != std::string::npos;
        });
    };
    EXPECT_TRUE(WaitUntil([&] { return failures() >= 3; }, 5s));
    EXPECT_EQ(failures(), 3);
}

// The communication log through the operator interface: its bound from FENWY.INI, the paged
// reads by line number and what the change signal tells: one for a call's lines, one for a
// stream of calls.
TEST_F(ServerUnderSim, OperatorLogKeepsTheBoundReadsByNumberAndTellsWhatChanged) {
    Start("[General]\r\nCommunicationLogLines=3\r\n");
    TZEMBBus& bus = Server.Bus();
    using TChange = std::tuple<std::uint32_t, std::uint64_t, std::uint64_t>; // kind, first, next
    std::vector<TChange> changes;
    TBusSignalMatch match;
    // The contract's names are literals, so their text ends in a null.
    ASSERT_GE(bus.MatchSignal(match, nullptr, FactoryPath.data(), OperatorInterface.data(),
                              CommunicationLogChangedSignal.data(),
                              [&](TBusMessage& signal) {
                                  auto& [kind, first, next] = changes.emplace_back();
                                  EXPECT_TRUE(ReadArgs(signal, kind, first, next));
                              }),
              0);
    auto told = [&](const TChange& change) {
        const bool arrived = WaitUntil(
            [&] { return bus.Process() && !changes.empty() && changes.back() == change; }, 10s);
        changes.clear();
        return arrived;
    };
    // The first line kept, the next line's number, and the lines asked for.
    auto range = [&](std::uint64_t first, std::uint32_t count) {
        std::tuple<std::uint64_t, std::uint64_t, std::vector<std::string>> range;
        TBusMessage reply;
        EXPECT_TRUE(Server.CallOperator(GetCommunicationLogRangeMethod, reply, first, count) &&
                    reply.HasSignature(GetCommunicationLogRangeReply) &&
                    std::apply([&](auto&... v) { return ReadArgs(reply, v...); }, range));
        return range;
    };
    TClient client = Connect();
    ASSERT_TRUE(client.Server && Server.ClearCommunicationLog());
    const std::uint64_t c = std::get<1>(range(0, 0));
    ASSERT_TRUE(told({clCleared, c, c}));
    std::int32_t count = 0;
    bool result = true;
    // The calls name no connection, and their failures make the lines: a pair (one call's two
    // lines: one signal), the same pair again in place, then two lines that drop the pair's
    // first line.
    ASSERT_EQ(client.Server->WriteBuffer(99, TSafeByteArray(3, 1), count, result), S_OK);
    EXPECT_TRUE(told({clAppended, c, c + 2}));
    ASSERT_EQ(client.Server->WriteBuffer(99, TSafeByteArray(5, 1), count, result), S_OK);
    EXPECT_TRUE(told({clReplaced, c, c + 2}));
    ASSERT_EQ(client.Server->OpenDevice(98, result), S_OK);
    EXPECT_TRUE(told({clAppended, c + 2, c + 4}));

    const std::vector<std::string> kept = {"WriteBuffer 5:0  not ok",
                                           "OpenDevice (ConnectID 98):  not ok",
                                           "TZEMBServer.OpenDevice: FHost.ConnectInfo fail98"};
    EXPECT_EQ(range(0, 100), std::tuple(c + 1, c + 4, kept));
    EXPECT_EQ(range(c + 2, 1), std::tuple(c + 1, c + 4, std::vector{kept[1]}));
    EXPECT_EQ(Server.CommunicationLog(), kept);

    // A stream of calls: a few signals that together tell every line from the first on.
    constexpr int Calls = 20;
    for (int i = 0; i < Calls; ++i)
        ASSERT_EQ(client.Server->OpenDevice(98, result), S_OK);
    ASSERT_TRUE(WaitUntil(
        [&] {
            return bus.Process() && !changes.empty() &&
                   std::get<2>(changes.back()) == c + 4 + 2 * Calls;
        },
        10s));
    EXPECT_LT(changes.size(), std::size_t{Calls / 2});
    EXPECT_EQ(changes.front(), TChange(clAppended, c + 4, std::get<2>(changes.front())));
    for (std::size_t i = 1; i < changes.size(); ++i)
        EXPECT_EQ(changes[i],
                  TChange(clAppended, std::get<2>(changes[i - 1]), std::get<2>(changes[i])));
}

// The operator window's tree as GetDeviceTree sends it, one row per node: two blanks per level,
// "+" open or "-", the image index, the text.
TEST_F(ServerUnderSim, OperatorTreeIsTheWindowsTreeOfTheRealHost) {
    Start();
    TClient a = Hookup("tree-client");
    const std::int32_t devId = First(a, dtFenwy);
    const std::int32_t connectId = ConnectAndOpen(a, devId);

    TBusMessage reply;
    ASSERT_TRUE(Server.CallOperator(GetDeviceTreeMethod, reply) &&
                reply.HasSignature(GetDeviceTreeReply));
    std::vector<std::string> rows;
    const std::string node(DeviceTreeNode);
    ASSERT_TRUE(reply.EnterContainer('a', ("(" + node + ")").c_str()));
    while (reply.EnterContainer('r', node.c_str())) {
        std::string text;
        std::int32_t image = -1, depth = 0;
        bool expanded = false;
        ASSERT_TRUE(ReadArgs(reply, text, image, depth, expanded) && reply.ExitContainer());
        rows.push_back(std::string(2 * static_cast<std::size_t>(depth), ' ') +
                       (expanded ? "+" : "-") + std::to_string(image) + " " + text);
    }
    // The Fenwy is the second device: its node and everything under it are closed.
    const auto fenwy = std::ranges::find_if(rows, [&](const std::string& r) {
        return r.ends_with(" DevID: " + std::to_string(devId));
    });
    ASSERT_NE(fenwy, rows.end());
    const std::vector<std::string> block(fenwy, std::min(fenwy + 16, rows.end()));
    ASSERT_EQ(block.size(), 16u);
    const std::string c = std::to_string(connectId), app = std::to_string(a.AppID);
    EXPECT_EQ(std::tuple(block[1], block[2], block[7]),
              std::tuple("  -2 Active: True", "  -1 Info:", "    -2 Firmware: 02.04"));
    // clang-format off
    EXPECT_THAT(std::vector(block.begin() + 9, block.end()), ElementsAre("  -3 ConnectID: " + c,
        "    -2 Active: True", "    -2 Mode: cmShared", "    -1 Info", "      -2 ClientAppID: " +
        app, "      -2 ClientAppType: aciBase", "      -2 ClientAppExeName: tree-client"));
    // clang-format on
}
