// SPDX-License-Identifier: MIT
// Clients that misbehave against the real server on simulated devices: whatever one of them
// does, the server stays up and a healthy client beside it is served.
#include "SimServer.h"
#include "TestProcess.h"
#include "bus/BusConnection.h"

#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <thread>
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
    std::atomic<bool> stop{false};
    std::atomic<int> answered{0}, failed{0};
    std::thread healthy([&] {
        TClient other = Hookup("healthy.exe");
        while (!stop) {
            std::uint8_t type = 0;
            std::string computer, exe;
            bool ok = false;
            const HRESULT status =
                other.Server ? other.Server->ClientAppInfo(other.AppID, type, computer, exe, ok)
                             : E_FAIL;
            (SUCCEEDED(status) && ok && exe == "healthy.exe" ? answered : failed)++;
        }
    });
    // Halfway down, wait until the healthy client has been answered while the server waits.
    sink->AtDepth = [&](int depth) {
        if (depth != MaxCallDepth / 2)
            return;
        const int before = answered;
        WaitUntil([&] { return answered >= before + 2; }, std::chrono::seconds(10));
    };

    ASSERT_EQ(recursive.Server->EnumDevices2(recursive.AppID, dtFenwy, result), S_OK);
    const int answeredDuring = answered;
    stop = true;
    healthy.join();

    // One side or the other refuses the call that would go past the limit.
    EXPECT_GE(sink->MaxDepth, MaxCallDepth - 1);
    EXPECT_LE(sink->MaxDepth, MaxCallDepth);
    EXPECT_GE(answeredDuring, 2);
    EXPECT_EQ(failed, 0);
    // Still up and serving the client that drove it.
    std::uint8_t type = 0;
    std::string computer, exe;
    EXPECT_EQ(recursive.Server->ClientAppInfo(recursive.AppID, type, computer, exe, result), S_OK);
    EXPECT_EQ(exe, "recursive.exe");
}
