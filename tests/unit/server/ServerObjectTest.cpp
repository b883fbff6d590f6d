// SPDX-License-Identifier: MIT
#include "server/ServerObject.h"

#include "FakeHost.h"
#include "base/DebugLog.h"
#include "server/CommunicationLog.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace ZEMB;

using ::testing::ElementsAre;

namespace {
class EDeviceFault : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One server object over a fake host; the debug output and the communication log are
// recorded on one time line ("group|text" and "log|line"), the change notifications counted.
class ServerObjectTest : public ::testing::Test {
protected:
    ServerObjectTest() {
        auto host = std::make_unique<TFakeHost>();
        host_ = host.get();
        host_->Devices[0] = {dtFenwy, "usb#vid_0483&pid_5740#F1#{A}", 0x0204};
        host_->Devices[1] = {dtNotRecognized, "usb#vid_1234&pid_0001#X#{B}", 0x0100};
        SetHost(std::move(host));
        StrayInterfaceCount = 0;
        CommunicationLog().Clear();
        ResetCommLogState();
        previousSink_ = SetDebugOutputSink([this](std::string_view line, std::string_view group) {
            timeline_.push_back(std::string(group) + "|" + std::string(line));
        });
        CommunicationLog().SetOnChange([this] {
            if (CommunicationLog().Count() > 0) {
                timeline_.push_back("log|" + CommunicationLog().Lines().back());
            }
        });
        SetDevicesChangeNotification([this](void*) { ++notifications_; });
    }
    ~ServerObjectTest() override {
        SetDevicesChangeNotification(nullptr);
        CommunicationLog().SetOnChange(nullptr);
        SetDebugOutputSink(previousSink_);
        SetHost(nullptr);
        StrayInterfaceCount = 0;
    }

    std::vector<std::string> Log() const { return CommunicationLog().Lines(); }
    std::vector<std::string> Debug() const {
        std::vector<std::string> lines;
        for (const auto& entry : timeline_) {
            if (entry.rfind("log|", 0) != 0) {
                lines.push_back(entry);
            }
        }
        return lines;
    }
    std::int32_t Connect(std::int32_t devID, std::uint8_t mode = 0) {
        std::int32_t connectID = -1;
        bool result = false;
        server_.ConnectDevice(1, devID, mode, nullptr, connectID, result);
        EXPECT_TRUE(result);
        return connectID;
    }
    void Reset() {
        timeline_.clear();
        CommunicationLog().Clear();
        notifications_ = 0;
    }

    TFakeHost* host_ = nullptr;
    TZEMBServer4 server_;
    std::vector<std::string> timeline_;
    int notifications_ = 0;
    TDebugOutputSink previousSink_;
};
} // namespace

// The real host under the simulator is tested with the same lines through the bus
// (tests/integration/server); here only what a fake host alone can show: the change
// notification after every call that may change the grid, exceptions with their class names,
// what the host is handed, and values the bus does not carry back.
TEST_F(ServerObjectTest, CallsThatMayChangeTheGridNotifyWhateverTheirResult) {
    std::int32_t connectID = 77;
    bool result = true;
    server_.ConnectDevice(1, 42, 0, nullptr, connectID, result);
    EXPECT_FALSE(result);
    EXPECT_EQ(connectID, 77);
    EXPECT_EQ(notifications_, 1) << "the notification comes whatever the result";

    Reset();
    server_.ConnectDevice(1, 0, 7, nullptr, connectID, result); // mode clamped to cmShared
    EXPECT_TRUE(result);
    EXPECT_EQ(host_->Calls.back(), "ConnectDevice 1");
    server_.OpenDevice(connectID, result);
    server_.OpenDevice(9, result);
    server_.CloseDevice(connectID, result);
    server_.DisconnectDevice(connectID, result);
    server_.UnhookClientApp(8, result);
    EXPECT_EQ(notifications_, 6);

    Reset();
    bool active = false;
    std::uint8_t mode = 5, devType = 9, driverType = 9, hardware = 9;
    std::string link, friendly, serial, vidPid, guid, user;
    std::int32_t firmware = -1;
    std::uint16_t fpga = 9;
    server_.DevInfo(0, active, mode, link, friendly, serial, vidPid, guid, user, devType,
                    driverType, firmware, hardware, fpga, result);
    EXPECT_TRUE(result);
    EXPECT_EQ(mode, 0) << "the server writes 0 into Mode";
    EXPECT_EQ(driverType, ddWinUSB_ST);
    EXPECT_EQ(hardware, 0);
    EXPECT_EQ(fpga, 0);
    EXPECT_EQ(notifications_, 0);
}

TEST_F(ServerObjectTest, ReadReportsTheArrayAsReturnedAndCountsElementBytes) {
    std::int32_t connectID = Connect(0);
    Reset();
    TSafeByteArray buffer(16, 4); // 16 elements of 4 bytes
    std::int32_t count = -1;
    bool result = false;
    server_.ReadBuffer(connectID, buffer, count, result);
    EXPECT_TRUE(result);
    EXPECT_EQ(buffer.Bytes(), 12u);
    EXPECT_EQ(Log().back(), "ReadBuffer 12:12  ok");

    host_->FailReads = true;
    TSafeByteArray large(16, 4);
    server_.ReadBuffer(connectID, large, count, result);
    EXPECT_FALSE(result);
    EXPECT_THAT(Log(),
                ElementsAre("TrafficStats (ConnectID 0): W: 0  R: 12", "ReadBuffer 64:0  not ok"));
}

TEST_F(ServerObjectTest, BarrierTurnsAnExceptionIntoResultFalse) {
    std::int32_t connectID = Connect(0);
    Reset();
    host_->ThrowIn = [] { throw EDeviceFault("array not readable"); };
    std::int32_t count = 0;
    bool result = true;
    EXPECT_EQ(server_.WriteBuffer(connectID, TSafeByteArray(std::vector<std::uint8_t>{1, 2}), count,
                                  result),
              S_OK);
    EXPECT_FALSE(result);
    EXPECT_THAT(
        Debug(),
        ElementsAre("RUVAzerCommTraffic|>TZEMBServer.WriteBuffer",
                    "RUVAzer Comm|TZEMBServer.WriteBuffer (anonymous namespace)::EDeviceFault "
                    "array not readable",
                    "RUVAzerCommTraffic|<TZEMBServer.WriteBuffer"));

    timeline_.clear();
    result = true;
    server_.StartSession(connectID, result);
    EXPECT_FALSE(result);
    EXPECT_EQ(Debug()[1].rfind("RUVAzer Comm|TZEMBServer.StartSession ", 0), 0u) << Debug()[1];
    EXPECT_EQ(Debug()[0], "RUVAzerComm3|>TZEMBServer3.StartSession");
}

TEST_F(ServerObjectTest, HookupRunsTheStrayCheckTwiceAndHandsTheHostTheClampedType) {
    StrayInterfaceCount = 2;
    std::int32_t clientAppID = -1;
    bool result = false;
    server_.HookupClientApp(9, "pc", "fit.exe", clientAppID, result);
    EXPECT_TRUE(result);
    EXPECT_THAT(host_->Calls, ElementsAre("HookupClientApp 4 -1 pc fit.exe"));
    EXPECT_THAT(Debug(), ElementsAre("RUVAzerComm3|>TZEMBServer.CheckStrayInterfaces: 2",
                                     "RUVAzerComm3|>TZEMBServer.HookupClientApp",
                                     "RUVAzerComm3|>TZEMBServer.CheckStrayInterfaces: 1",
                                     "RUVAzerComm3|>TZEMBServer.HookupClientApp2",
                                     "RUVAzerComm3|<TZEMBServer.HookupClientApp2",
                                     "RUVAzerComm3|<TZEMBServer.HookupClientApp"));

    Reset();
    server_.HookupClientApp2(2, 4711, "pc", "", clientAppID, result);
    EXPECT_FALSE(result);
    EXPECT_EQ(host_->Calls.back(), "HookupClientApp 2 4711 pc ");
    EXPECT_THAT(Log(), ElementsAre("HookupClientApp:  not ok"));
    EXPECT_EQ(notifications_, 1);
}

TEST(ServerObjectCountTest, CountsLiveObjects) {
    const std::int32_t before = ServerObjectCount();
    {
        TZEMBServer4 one;
        auto two = std::make_unique<TZEMBServer>();
        EXPECT_EQ(ServerObjectCount(), before + 2);
    }
    EXPECT_EQ(ServerObjectCount(), before);
}
