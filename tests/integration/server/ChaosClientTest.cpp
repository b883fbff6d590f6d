// SPDX-License-Identifier: MIT
// Clients that misbehave against the real server on simulated devices: whatever one of them
// does, the server stays up and a healthy client beside it is served.
#include "RecordingSinks.h"
#include "SimServer.h"
#include "TestProcess.h"
#include "bus/BusConnection.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <unistd.h>
#include <zemb/ZEMBClient.h>

using namespace ZEMB;

namespace {

constexpr const char* OneFenwy = R"([fenwy]
Driver=winusb_st
VendorId=0483
ProductId=a7f1
Instance=FWY000042007
Firmware=2.04
RamSize=0x0900
SerialNumber=20401234
)";

struct TClient {
    std::unique_ptr<TZEMBClient> Bus;
    std::shared_ptr<IZEMBServer4> Server;
    std::int32_t AppID = -1;
};

// Connected, hooked up as an aciBase client of this process.
TClient Hookup(const std::string& exeName) {
    TClient client;
    std::string error;
    client.Bus = TZEMBClient::Connect(&error);
    EXPECT_TRUE(client.Bus) << error;
    if (!client.Bus)
        return client;
    HRESULT status = E_FAIL;
    client.Server = client.Bus->CreateInstance(CLASS_ZEMBServer4, &status);
    EXPECT_EQ(status, S_OK);
    bool result = false;
    if (client.Server)
        client.Server->HookupClientApp2(aciBase, static_cast<std::int32_t>(getpid()), "testhost",
                                        exeName, client.AppID, result);
    EXPECT_TRUE(result);
    return client;
}

// Answers every EnumDevice with another EnumDevices2, as deep as the server lets it go.
class TRecursiveSink : public IZEMBHost {
public:
    IZEMBServer4* Server = nullptr;
    std::int32_t AppID = -1;
    int Depth = 0, MaxDepth = 0;
    std::function<void(int depth)> AtDepth;

    HRESULT EnumDevice(std::int32_t, bool& Result) override {
        MaxDepth = std::max(MaxDepth, ++Depth);
        if (AtDepth)
            AtDepth(Depth);
        bool nested = false;
        Server->EnumDevices2(AppID, dtFenwy, nested);
        --Depth;
        Result = true;
        return S_OK;
    }
    HRESULT EnumConnection(std::int32_t, bool& Result) override { return Yes(Result); }
    HRESULT EnumApplication(std::int32_t, bool& Result) override { return Yes(Result); }
    HRESULT DeviceAdded(std::int32_t, bool& Result) override { return Yes(Result); }
    HRESULT DeviceRemoved(std::int32_t, bool& Result) override { return Yes(Result); }

private:
    static HRESULT Yes(bool& Result) {
        Result = true;
        return S_OK;
    }
};

class ChaosClient : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        ASSERT_TRUE(Server.Start({OneFenwy, {}}, why)) << why;
    }
    void TearDown() override { EXPECT_EQ(Server.Stop(), 0); }

    TSimServer Server;
};

} // namespace

// A sink that calls back without end is cut off at the nesting limit (here the client library's
// pump, which is the server's, refuses first): the server neither runs out of stack nor refuses
// the client beside it, whose calls are answered all along.
TEST_F(ChaosClient, EndlessNestingIsCutAtTheLimitWhileAnotherClientIsServed) {
    TClient recursive = Hookup("recursive.exe");
    ASSERT_TRUE(recursive.Server);
    auto sink = std::make_shared<TRecursiveSink>();
    sink->Server = recursive.Server.get();
    sink->AppID = recursive.AppID;
    bool result = false;
    ASSERT_EQ(recursive.Server->SetZEMBHost2(recursive.AppID, sink, result), S_OK);

    // The healthy client calls from a thread of its own, on a connection of its own.
    // The healthy client calls again and again from a process of its own.
    TProcess healthy;
    ASSERT_TRUE(healthy.Start({ZEMB_CHAOS_CLIENT, "healthy"}));
    ASSERT_TRUE(healthy.WaitForText("answered", StartBound)) << healthy.Output();
    // Halfway down, while the server waits for the sink, it answers the healthy client.
    bool servedMeanwhile = false;
    sink->AtDepth = [&](int depth) {
        if (depth != MaxCallDepth / 2)
            return;
        // The answers so far; the one after the next is one given while the server waits here.
        long last = 0;
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
        while (std::chrono::steady_clock::now() < until)
            if (auto line = healthy.ReadLine(std::chrono::milliseconds(1)))
                last = std::atol(line->c_str() + line->find(' '));
            else
                break;
        servedMeanwhile =
            healthy.WaitForText("answered " + std::to_string(last + 2), std::chrono::seconds(4));
    };
    ASSERT_EQ(recursive.Server->EnumDevices2(recursive.AppID, dtFenwy, result), S_OK);
    EXPECT_TRUE(healthy.WaitForText("answered", StartBound));
    healthy.Signal(SIGKILL);
    healthy.WaitForExit(EndBound);

    // One side or the other refuses the call that would go past the limit.
    EXPECT_GE(sink->MaxDepth, MaxCallDepth - 1);
    EXPECT_LE(sink->MaxDepth, MaxCallDepth);
    EXPECT_TRUE(servedMeanwhile);
    EXPECT_EQ(healthy.Output().find("failed"), std::string::npos);
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
TEST_F(ChaosClient, AHealthyClientHearsEveryDeviceChangeWhateverTheOthersDo) {
    std::string error;
    auto observer = TZEMBBus::OpenSession(error);
    ASSERT_TRUE(observer) << error;
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
    std::int32_t devId = -1, connectId = -1;
    ASSERT_EQ(healthy.Server->FirstDevice2(dtFenwy, healthy.AppID, cmShared, devId, result), S_OK);
    ASSERT_EQ(healthy.Server->ConnectDevice(healthy.AppID, devId, cmShared,
                                            std::make_shared<TRecordingEvent>(calls, "h"),
                                            connectId, result),
              S_OK);
    ASSERT_TRUE(result);

    // Killed inside its session: once the bus has seen it go, the session is over.
    const std::string& ready = inSession.Output();
    const std::string owner = ready.substr(ready.find(':'), ready.find('\n') - ready.find(':'));
    inSession.Signal(SIGKILL);
    inSession.WaitForExit(EndBound);
    ASSERT_TRUE(WaitUntil([&] { return !observer->NameHasOwner(owner); }, EndBound));
    ASSERT_EQ(healthy.Server->StartSession(connectId, result), S_OK);
    EXPECT_TRUE(result) << "the session of the killed client still holds the device";
    ASSERT_EQ(healthy.Server->EndSession(connectId, result), S_OK);

    auto await = [&](std::size_t count) {
        return WaitUntil(
            [&] {
                healthy.Bus->WaitForEvents(std::chrono::milliseconds(20));
                unserved.Bus->ProcessEvents();
                return calls.size() >= count;
            },
            StartBound);
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
    int failures = 0;
    for (const std::string& line : Server.TakeDebugLines())
        failures += line.find("RescanDevices DeviceRemoved EOleSysError") != std::string::npos;
    EXPECT_EQ(failures, 3);
}
