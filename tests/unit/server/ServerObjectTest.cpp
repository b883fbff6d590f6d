// SPDX-License-Identifier: MIT
#include "CommunicationLog.h"
#include "ConfDebugString.h"
#include "FakeHost.h"
#include "uZEMBServer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::ElementsAre;
using ::testing::IsEmpty;

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

TEST_F(ServerObjectTest, ConnectDeviceTracesLogsClampsAndNotifies) {
    std::int32_t connectID = -1;
    bool result = false;
    EXPECT_EQ(server_.ConnectDevice(1, 0, 7, nullptr, connectID, result), S_OK);
    EXPECT_TRUE(result);
    EXPECT_EQ(connectID, 0);
    EXPECT_THAT(host_->Calls, ElementsAre("DevInfo", "ConnectDevice 1"));
    EXPECT_THAT(Log(), ElementsAre("ConnectDevice (ConnectID 0):  ok", "   ClientAppID: 1",
                                   "   DevType: dtFenwy", "   Mode: cmShared", "   DevID: 0"));
    EXPECT_THAT(Debug(), ElementsAre("RUVAzerComm3|>TZEMBServer.ConnectDevice",
                                     "RUVAzerComm3|<TZEMBServer.ConnectDevice"));
    EXPECT_EQ(notifications_, 1);
}

TEST_F(ServerObjectTest, UnknownDeviceIsNotConnectedAndLeavesNoLogLine) {
    std::int32_t connectID = 77;
    bool result = true;
    server_.ConnectDevice(1, 42, 0, nullptr, connectID, result);
    EXPECT_FALSE(result);
    EXPECT_EQ(connectID, 77);
    EXPECT_THAT(host_->Calls, ElementsAre("DevInfo"));
    EXPECT_THAT(Log(), IsEmpty());
    EXPECT_EQ(notifications_, 1) << "the notification comes whatever the result";
}

TEST_F(ServerObjectTest, ReconnectIsLoggedAndTheStrayInterfaceReportedOnTheNextCall) {
    Connect(0);
    host_->NextConnectReconnects = true;
    Reset();
    std::int32_t connectID = -1;
    bool result = false;
    server_.ConnectDevice(1, 0, 0, nullptr, connectID, result);
    EXPECT_EQ(Log().front(), "(Re)ConnectDevice (ConnectID 1):  ok");
    EXPECT_EQ(StrayInterfaceCount, 1);

    timeline_.clear();
    server_.CloseDevice(connectID, result);
    EXPECT_THAT(Debug(), ElementsAre("RUVAzerComm3|>TZEMBServer.CheckStrayInterfaces: 1",
                                     "RUVAzerComm3|>TZEMBServer.CloseDevice",
                                     "RUVAzerComm3|<TZEMBServer.CloseDevice"));
    EXPECT_EQ(StrayInterfaceCount, 0);
    timeline_.clear();
    server_.CloseDevice(connectID, result);
    EXPECT_EQ(Debug().front(), "RUVAzerComm3|>TZEMBServer.CloseDevice");
}

TEST_F(ServerObjectTest, OpenCloseAndDisconnectResultLines) {
    std::int32_t connectID = Connect(0);
    Reset();
    bool result = false;
    server_.OpenDevice(connectID, result);
    EXPECT_TRUE(result);
    server_.OpenDevice(9, result);
    EXPECT_FALSE(result);
    server_.CloseDevice(-1, result);
    server_.CloseDevice(connectID, result);
    server_.DisconnectDevice(connectID, result);
    EXPECT_THAT(Log(),
                ElementsAre("OpenDevice (ConnectID 0):  ok", "   DevID: 0", "   ClientAppID: 1",
                            "   Mode: cmExclusive", "OpenDevice (ConnectID 9):  not ok",
                            "TZEMBServer.OpenDevice: FHost.ConnectInfo fail9", "CloseDevice not ok",
                            "CloseDevice (ConnectID 0):  ok",
                            "DisconnectDevice (ConnectID 0):  ok"));
    EXPECT_EQ(notifications_, 5);
}

TEST_F(ServerObjectTest, TrafficPairStaysInPlaceUntilAnotherConnectionOrLine) {
    std::int32_t first = Connect(0);
    std::int32_t second = Connect(0);
    Reset();
    std::int32_t count = 0;
    bool result = false;
    TSafeByteArray data(std::vector<std::uint8_t>(8, 1));
    for (int i = 0; i < 10; ++i) {
        server_.WriteBuffer(first, data, count, result);
    }
    EXPECT_THAT(Log(),
                ElementsAre("TrafficStats (ConnectID 0): W: 80  R: 0", "WriteBuffer 8:8  ok"));

    server_.WriteBuffer(second, data, count, result);
    server_.WriteBuffer(first, data, count, result);
    EXPECT_EQ(Log().size(), 6u);
    EXPECT_EQ(Log()[2], "TrafficStats (ConnectID 1): W: 8  R: 0");
    EXPECT_EQ(Log()[4], "TrafficStats (ConnectID 0): W: 88  R: 0");

    server_.OpenDevice(first, result);
    server_.WriteBuffer(first, data, count, result);
    EXPECT_EQ(Log().size(), 12u) << "an ordinary line in between starts a new pair";

    CommunicationLog().Clear();
    server_.WriteBuffer(first, data, count, result);
    EXPECT_THAT(Log(),
                ElementsAre("TrafficStats (ConnectID 0): W: 104  R: 0", "WriteBuffer 8:8  ok"))
        << "after a clear the pair is appended";
    EXPECT_THAT(Debug(), ::testing::Contains("RUVAzerCommTraffic|>TZEMBServer.WriteBuffer"));
}

TEST_F(ServerObjectTest, ReadReportsTheArrayAsReturnedAndFailuresToo) {
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

TEST_F(ServerObjectTest, DevInfoEmptiesTextsAndWritesOnlyOnSuccess) {
    bool active = false;
    std::uint8_t mode = 5, devType = 9, driverType = 9, hardware = 9;
    std::string link = "x", friendly = "x", serial = "x", vidPid = "x", guid = "x", user = "x";
    std::int32_t firmware = -1;
    std::uint16_t fpga = 9;
    bool result = true;
    server_.DevInfo(42, active, mode, link, friendly, serial, vidPid, guid, user, devType,
                    driverType, firmware, hardware, fpga, result);
    EXPECT_FALSE(result);
    EXPECT_EQ(link + friendly + serial + vidPid + guid + user, "");
    EXPECT_EQ(mode, 5);
    EXPECT_EQ(firmware, -1);
    EXPECT_EQ(devType, 9);

    server_.DevInfo(0, active, mode, link, friendly, serial, vidPid, guid, user, devType,
                    driverType, firmware, hardware, fpga, result);
    EXPECT_TRUE(result);
    EXPECT_TRUE(active);
    EXPECT_EQ(mode, 0) << "the server writes 0 into Mode";
    EXPECT_EQ(link, "usb#vid_0483&pid_5740#F1#{A}");
    EXPECT_EQ(devType, dtFenwy);
    EXPECT_EQ(driverType, ddWinUSB_ST);
    EXPECT_EQ(firmware, 0x0204);
    EXPECT_EQ(hardware, 0);
    EXPECT_EQ(fpga, 0);
    EXPECT_THAT(Log(), IsEmpty());
    EXPECT_EQ(notifications_, 0);
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

TEST_F(ServerObjectTest, HookupRunsTheStrayCheckTwiceAndClampsTheType) {
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
    EXPECT_THAT(
        Log(), ElementsAre("HookupClientApp:  ok", "  ClientAppID: 1", "  ClientExeName: fit.exe"));

    Reset();
    server_.HookupClientApp2(2, 4711, "pc", "", clientAppID, result);
    EXPECT_FALSE(result);
    EXPECT_EQ(host_->Calls.back(), "HookupClientApp 2 4711 pc ");
    EXPECT_THAT(Log(), ElementsAre("HookupClientApp:  not ok"));
    EXPECT_EQ(notifications_, 1);
}

TEST_F(ServerObjectTest, UnhookWritesItsLineAfterTheExitTrace) {
    bool result = true;
    server_.UnhookClientApp(8, result);
    EXPECT_FALSE(result);
    EXPECT_THAT(timeline_, ElementsAre("RUVAzerComm3|>TZEMBServer.UnhookClientApp",
                                       "RUVAzerComm3|<TZEMBServer.UnhookClientApp",
                                       "log|UnhookClientApp (ClientAppID: 8)"));
    EXPECT_EQ(notifications_, 1);
}

TEST_F(ServerObjectTest, FirstDeviceFallsBackToUnrecognisedForMirelAndFenwyOnly) {
    host_->Devices.erase(0);
    std::int32_t devID = -1;
    bool result = false;
    server_.FirstDevice2(dtFenwy, 1, 1, devID, result);
    EXPECT_TRUE(result);
    EXPECT_EQ(devID, 1);
    EXPECT_THAT(host_->Calls, ElementsAre("FirstDevice 3 1", "FirstDevice 0 1"));

    host_->Calls.clear();
    server_.FirstDevice2(9, 1, 0, devID, result); // clamped to dtCorra
    server_.FirstDevice2(dtBrisk, 1, 0, devID, result);
    EXPECT_FALSE(result);
    EXPECT_THAT(host_->Calls, ElementsAre("FirstDevice 4 0", "FirstDevice 1 0"));
    EXPECT_THAT(
        Log(), ElementsAre("No device found (dtFenwy cmShared). Using NotRecognized device instead",
                           "No device found (dtCorra cmExclusive)",
                           "No device found (dtBrisk cmExclusive)"));

    timeline_.clear();
    devID = 33;
    server_.FirstDevice(dtBrisk, 0, devID, result);
    EXPECT_FALSE(result);
    EXPECT_THAT(Debug(), ElementsAre("RUVAzerComm3|>TZEMBServer.FirstDevice",
                                     "RUVAzerComm3|>TZEMBServer.FirstDevice2",
                                     "RUVAzerComm3|<TZEMBServer.FirstDevice2",
                                     "RUVAzerComm3|TZEMBServer.FirstDevice. DevID: 33",
                                     "RUVAzerComm3|<TZEMBServer.FirstDevice"));
}

TEST_F(ServerObjectTest, StubsAnswerFalseAndSuperUseModeTrueWithoutTrace) {
    bool result = true;
    server_.EnumDevices(1, result);
    EXPECT_FALSE(result);
    result = true;
    server_.EnumApplications(result);
    EXPECT_FALSE(result);
    result = true;
    server_.EnumConnections(result);
    EXPECT_FALSE(result);
    result = true;
    server_.SetZEMBHost(nullptr, result);
    EXPECT_FALSE(result);
    EXPECT_THAT(Debug(), ElementsAre("|>TZEMBServer.EnumDevices", "|TZEMBServer.EnumApplications",
                                     "|TZEMBServer.EnumConnections", "|TZEMBServer.SetZEMBHost"));
    timeline_.clear();
    result = false;
    StrayInterfaceCount = 1;
    server_.SetSuperUseMode(result);
    EXPECT_TRUE(result);
    EXPECT_THAT(timeline_, IsEmpty());
    EXPECT_EQ(StrayInterfaceCount, 1);
}

TEST_F(ServerObjectTest, TraceNamesOfTheLaterInterfaces) {
    bool result = false;
    std::int32_t value = -1;
    server_.SetZEMBHost2(1, nullptr, result);
    server_.EnumDevices2(1, 200, result);
    server_.EnumApplications2(1, result);
    server_.EnumConnection2(1, result);
    server_.TotalBufferSize(0, value, result);
    server_.EndSession(0, result);
    EXPECT_EQ(value, 2048);
    EXPECT_EQ(host_->Calls[1], "EnumDevices 4");
    std::vector<std::string> entries;
    for (const auto& line : Debug()) {
        if (line.find("|>") != std::string::npos) {
            entries.push_back(line);
        }
    }
    EXPECT_THAT(entries, ElementsAre("RUVAzerComm3|>TZEMBServer.SetZEMBHost",
                                     "RUVAzerComm3|>TZEMBServer4.EnumDevices2",
                                     "RUVAzerComm3|>TZEMBServer4.EnumApplications2",
                                     "RUVAzerComm3|>TZEMBServer4.EnumConnections2",
                                     "RUVAzerComm3|>TZEMBServer3.TotalBufferSize",
                                     "RUVAzerComm3|>TZEMBServer3.EndSession"));
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
