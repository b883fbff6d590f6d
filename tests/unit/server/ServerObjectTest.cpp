// SPDX-License-Identifier: MIT
#include "server/ServerObject.h"

#include "HostFixture.h"
#include "server/CommunicationLog.h"

using namespace ZEMB;

using namespace std::string_literals;

namespace {
class EDeviceFault : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The real host, made to raise from inside an operation, as a failing device or client does.
class TRaisingHost : public TUSB_IFHostLocal {
public:
    using TUSB_IFHostLocal::TUSB_IFHostLocal;
    bool Raise = false;
    bool WriteBuffer(std::int32_t ConnectID, const TSafeByteArray& WriteData,
                     std::int32_t& WriteCount) override {
        if (Raise)
            throw EDeviceFault("array not readable");
        return TUSB_IFHostLocal::WriteBuffer(ConnectID, WriteData, WriteCount);
    }
    bool StartSession(std::int32_t ConnectID) override {
        if (Raise)
            throw EDeviceFault("no session");
        return TUSB_IFHostLocal::StartSession(ConnectID);
    }
};

// One server object over its own context and host on one fake device; the debug output is
// recorded ("group|text"), the change notifications counted.
class ServerObjectTest : public THostTest {
protected:
    void SetUp() override {
        Bus.Attached = {{"FENWY0001"}};
        context_.emplace(Container());
        auto host = std::make_unique<TRaisingHost>(Container());
        host_ = host.get();
        context_->SetHost(std::move(host));
        server_.emplace(*context_);
        Reset();
        ResetCommLogState();
        SetDevicesChangeNotification([this](void*) { ++notifications_; });
    }
    void TearDown() override { SetDevicesChangeNotification(nullptr); }

    std::vector<std::string> Lines() const { return CommunicationLog().Lines(); }
    std::int32_t Connect(std::int32_t devID, std::uint8_t mode = 0) {
        std::int32_t connectID = -1;
        bool result = false;
        server_->ConnectDevice(0, devID, mode, nullptr, connectID, result);
        EXPECT_TRUE(result);
        return connectID;
    }
    void Reset() {
        debug_.clear();
        CommunicationLog().Clear();
        notifications_ = 0;
    }

    std::optional<TServerContext> context_;
    TRaisingHost* host_ = nullptr;
    std::optional<TZEMBServer4> server_;
    TCapturedLog log_{std::nullopt, true};
    std::vector<std::string>& debug_ = log_.Lines;
    int notifications_ = 0;
};
} // namespace

// The lines of each call through the bus are tested in tests/integration/server; here what
// the bus does not show: the change notification after every call that may change the grid,
// exceptions with their class names, what the host is handed, values the bus does not carry.
TEST_F(ServerObjectTest, CallsThatMayChangeTheGridNotifyWhateverTheirResult) {
    std::int32_t connectID = 77;
    bool result = true;
    server_->ConnectDevice(0, 42, 0, nullptr, connectID, result);
    EXPECT_EQ(std::tuple(result, connectID, notifications_), std::tuple(false, 77, 1));

    Reset();
    server_->ConnectDevice(0, 0, 0, nullptr, connectID, result);
    EXPECT_TRUE(result);
    server_->OpenDevice(connectID, result);
    server_->OpenDevice(9, result);
    server_->CloseDevice(connectID, result);
    server_->DisconnectDevice(connectID, result);
    server_->UnhookClientApp(8, result);
    EXPECT_EQ(notifications_, 6);

    Reset();
    // clang-format off
    bool active = false; std::int32_t firmware = -1; std::uint16_t fpga = 9;
    std::uint8_t mode = 5, devType = 9, driverType = 9, hardware = 9;
    std::string link, friendly, serial, vidPid, guid, user;
    // clang-format on
    server_->DevInfo(0, active, mode, link, friendly, serial, vidPid, guid, user, devType,
                     driverType, firmware, hardware, fpga, result);
    // The server writes 0 into Mode; no notification.
    EXPECT_EQ(std::tuple(result, mode, driverType, firmware, hardware, fpga, notifications_),
              std::tuple(true, 0, ddWinUSB_Silabs, 0x0204, 0, 0, 0));
}

TEST_F(ServerObjectTest, ReadCountsElementBytesAndTheMovedCount) {
    const std::int32_t connectID = Connect(0);
    bool result = false;
    server_->OpenDevice(connectID, result);
    Reset();
    TSafeByteArray buffer(16, 4); // 16 elements of 4 bytes
    std::int32_t count = -1;
    server_->ReadBuffer(connectID, buffer, count, result);
    EXPECT_EQ(std::pair(result, Lines().back()), std::pair(true, "ReadBuffer 64:64  ok"s));

    Device(0)->FailRead = true;
    server_->ReadBuffer(connectID, buffer, count, result);
    EXPECT_FALSE(result);
    EXPECT_THAT(Lines(),
                ElementsAre("TrafficStats (ConnectID 0): W: 0  R: 64", "ReadBuffer 64:0  not ok"));
}

TEST_F(ServerObjectTest, BarrierTurnsAnExceptionIntoResultFalse) {
    const std::int32_t connectID = Connect(0);
    Reset();
    host_->Raise = true;
    std::int32_t count = 0;
    bool result = true;
    const TSafeByteArray data(std::vector<std::uint8_t>{1, 2});
    EXPECT_EQ(server_->WriteBuffer(connectID, data, count, result), S_OK);
    EXPECT_FALSE(result);
    // clang-format off
    EXPECT_THAT(debug_, ElementsAre("RUVAzerCommTraffic|>TZEMBServer.WriteBuffer",
        "RUVAzer Comm|TZEMBServer.WriteBuffer (anonymous namespace)::EDeviceFault array not readable",
        "RUVAzerCommTraffic|<TZEMBServer.WriteBuffer"));
    debug_.clear();
    result = true;
    server_->StartSession(connectID, result);
    EXPECT_FALSE(result);
    EXPECT_THAT(debug_, ElementsAre("RUVAzerComm3|>TZEMBServer3.StartSession",
        "RUVAzer Comm|TZEMBServer.StartSession (anonymous namespace)::EDeviceFault no session",
        "RUVAzerComm3|<TZEMBServer3.StartSession"));
    // clang-format on
}

TEST_F(ServerObjectTest, HookupRunsTheStrayCheckTwiceAndARefusalNotifies) {
    Container().ConnectedDevices.StrayInterfaceCount = 2;
    std::int32_t clientAppID = -1;
    bool result = false;
    server_->HookupClientApp(9, "pc", "fit.exe", clientAppID, result);
    ASSERT_TRUE(result);
    EXPECT_THAT(debug_, ElementsAre("RUVAzerComm3|>TZEMBServer.CheckStrayInterfaces: 2",
                                    "RUVAzerComm3|>TZEMBServer.HookupClientApp",
                                    "RUVAzerComm3|>TZEMBServer.CheckStrayInterfaces: 1",
                                    "RUVAzerComm3|>TZEMBServer.HookupClientApp2",
                                    "RUVAzerComm3|<TZEMBServer.HookupClientApp2",
                                    "RUVAzerComm3|<TZEMBServer.HookupClientApp"));
    EXPECT_EQ(Container().ConnectedDevices.StrayInterfaceCount, 0);

    // The same program again with nothing running: refused.
    Reset();
    server_->HookupClientApp2(aciCorra, 4711, "pc", "fit.exe", clientAppID, result);
    EXPECT_EQ(std::tuple(result, Lines(), notifications_),
              std::tuple(false, std::vector<std::string>{"HookupClientApp:  not ok"}, 1));
}

TEST_F(ServerObjectTest, ContextCountsLiveObjectsOfEveryInterface) {
    auto one = std::make_unique<TZEMBServer>(*context_);
    auto two = std::make_unique<TZEMBServer2>(*context_);
    EXPECT_EQ(context_->ServerObjectCount(), 3);
    one.reset();
    two.reset();
    EXPECT_EQ(context_->ServerObjectCount(), 1);
}
