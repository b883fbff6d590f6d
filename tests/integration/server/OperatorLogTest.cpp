// SPDX-License-Identifier: MIT
// The operator interface of zemb-server on simulated devices: the communication log (its bound
// from FENWY.INI, the paged reads by line number and what the change signal tells) and the
// operator window's tree.
#include "SimServer.h"
#include "TestProcess.h"
#include "bus/Marshal.h"
#include "contract/InterfaceTable.h"
#include "contract/OperatorInterface.h"

#include <algorithm>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <zemb/ZEMBClient.h>

using namespace ZEMB;

using ::testing::ElementsAre;

namespace {

struct TChange {
    std::uint32_t Kind = 0;
    std::uint64_t First = 0, Next = 0;
    bool operator==(const TChange&) const = default;
};

struct TRange {
    std::uint64_t FirstKept = 0, Next = 0;
    std::vector<std::string> Lines;
};

TRange Range(TZEMBBus& bus, std::uint64_t first, std::uint32_t count) {
    TRange range;
    TBusMessage call, reply;
    TBusError error;
    // The contract's names are literals, so their text ends in a null.
    EXPECT_GE(bus.NewMethodCall(call, BusName.data(), FactoryPath.data(), OperatorInterface.data(),
                                GetCommunicationLogRangeMethod.data()),
              0);
    EXPECT_TRUE(AppendArgs(call, first, count));
    EXPECT_GE(bus.CallBlocking(call, std::chrono::seconds(10), reply, error), 0) << error.Message();
    EXPECT_TRUE(reply.HasSignature(GetCommunicationLogRangeReply));
    EXPECT_TRUE(ReadArgs(reply, range.FirstKept, range.Next, range.Lines));
    return range;
}

// The operator window's tree as GetDeviceTree sends it, one row per node as in the unit tests:
// two blanks per level, "+" open or "-", the image index, the text.
std::vector<std::string> TreeRows(TZEMBBus& bus) {
    TBusMessage reply;
    TBusError error;
    EXPECT_GE(bus.CallBlocking(BusName.data(), FactoryPath.data(), OperatorInterface.data(),
                               GetDeviceTreeMethod.data(), std::chrono::seconds(10), reply, error),
              0)
        << error.Message();
    EXPECT_TRUE(reply.HasSignature(GetDeviceTreeReply));
    std::vector<std::string> rows;
    const std::string node(DeviceTreeNode);
    EXPECT_TRUE(reply.EnterContainer('a', ("(" + node + ")").c_str()));
    while (reply.EnterContainer('r', node.c_str())) {
        std::string text;
        std::int32_t image = -1, depth = 0;
        bool expanded = false;
        EXPECT_TRUE(ReadArgs(reply, text, image, depth, expanded));
        EXPECT_TRUE(reply.ExitContainer());
        rows.push_back(std::string(2 * static_cast<std::size_t>(depth), ' ') +
                       (expanded ? "+" : "-") + std::to_string(image) + " " + text);
    }
    return rows;
}

} // namespace

TEST(OperatorTreeUnderSim, ServesTheWindowsTreeOfTheRealHost) {
    TSimServer server;
    std::string why;
    ASSERT_TRUE(server.Start({"[fenwy]\nDriver=winusb_st\nVendorId=0483\nProductId=a7f1\n"
                              "Instance=FWY000042007\nFirmware=2.04\nSerialNumber=20401234\n",
                              ""},
                             why))
        << why;
    auto bus = TZEMBBus::OpenSession(why);
    ASSERT_TRUE(bus) << why;
    auto client = TZEMBClient::Connect(&why);
    ASSERT_TRUE(client) << why;
    std::shared_ptr<IZEMBServer4> s = client->CreateInstance(CLASS_ZEMBServer4);
    ASSERT_TRUE(s);
    std::int32_t app = -1, devId = -1, connectId = -1;
    bool result = false, reconnected = false;
    ASSERT_EQ(s->HookupClientApp2(aciBase, getpid(), "testhost", "tree-client", app, result), S_OK);
    ASSERT_TRUE(s->FirstDevice2(dtFenwy, app, cmShared, devId, result) == S_OK && result);
    ASSERT_EQ(s->ConnectDevice(app, devId, cmShared, nullptr, connectId, reconnected), S_OK);
    ASSERT_TRUE(s->OpenDevice(connectId, result) == S_OK && result);

    const std::vector<std::string> rows = TreeRows(*bus);
    ASSERT_EQ(rows.size(), 16u);
    EXPECT_EQ(rows[0], "+0 DevID: " + std::to_string(devId));
    EXPECT_THAT(std::vector(rows.begin() + 1, rows.begin() + 3),
                ElementsAre("  -2 Active: True", "  -1 Info:"));
    EXPECT_EQ(rows[7], "    -2 Firmware: 02.04");
    EXPECT_THAT(std::vector(rows.begin() + 9, rows.end()),
                ElementsAre("  +3 ConnectID: " + std::to_string(connectId), "    -2 Active: True",
                            "    -2 Mode: cmShared", "    -1 Info",
                            "      -2 ClientAppID: " + std::to_string(app),
                            "      -2 ClientAppType: aciBase",
                            "      -2 ClientAppExeName: tree-client"));
    EXPECT_EQ(server.Stop(), 0);
}

TEST(OperatorLogUnderSim, KeepsTheBoundReadsByNumberAndTellsWhatChanged) {
    TSimServer server;
    std::string why;
    // Any device: the calls below name none, and their failures make the log lines.
    ASSERT_TRUE(server.Start({"[box]\nDriver=silabs\nVendorId=10c4\nProductId=ea60\n",
                              "[General]\r\nCommunicationLogLines=3\r\n"},
                             why))
        << why;
    auto bus = TZEMBBus::OpenSession(why);
    ASSERT_TRUE(bus) << why;
    std::vector<TChange> changes;
    TBusSignalMatch match;
    ASSERT_GE(bus->MatchSignal(match, nullptr, FactoryPath.data(), OperatorInterface.data(),
                               CommunicationLogChangedSignal.data(),
                               [&](TBusMessage& signal) {
                                   TChange change;
                                   EXPECT_TRUE(
                                       ReadArgs(signal, change.Kind, change.First, change.Next));
                                   changes.push_back(change);
                               }),
              0);
    auto client = TZEMBClient::Connect(&why);
    ASSERT_TRUE(client) << why;
    std::shared_ptr<IZEMBServer4> s = client->CreateInstance(CLASS_ZEMBServer4);
    ASSERT_TRUE(s);

    ASSERT_TRUE(server.ClearCommunicationLog());
    const std::uint64_t c = Range(*bus, 0, 0).Next;
    std::int32_t count = 0;
    bool result = true;
    // A pair, the same pair again in place, then two lines that drop the pair's first line.
    ASSERT_EQ(s->WriteBuffer(99, TSafeByteArray(3, 1), count, result), S_OK);
    ASSERT_EQ(s->WriteBuffer(99, TSafeByteArray(5, 1), count, result), S_OK);
    ASSERT_EQ(s->OpenDevice(98, result), S_OK);

    const TRange all = Range(*bus, 0, 100);
    EXPECT_EQ(all.FirstKept, c + 1);
    EXPECT_EQ(all.Next, c + 4);
    EXPECT_THAT(all.Lines,
                ElementsAre("WriteBuffer 5:0  not ok", "OpenDevice (ConnectID 98):  not ok",
                            "TZEMBServer.OpenDevice: FHost.ConnectInfo fail98"));
    EXPECT_THAT(Range(*bus, c + 2, 1).Lines, ElementsAre("OpenDevice (ConnectID 98):  not ok"));
    EXPECT_EQ(server.CommunicationLog(), all.Lines);

    ASSERT_TRUE(WaitUntil(
        [&] { return bus->Process() && !changes.empty() && changes.back().Next == c + 4; },
        std::chrono::seconds(10)));
    const auto cleared = std::find(changes.begin(), changes.end(), TChange{clCleared, c, c});
    ASSERT_NE(cleared, changes.end());
    EXPECT_THAT(std::vector<TChange>(cleared, changes.end()),
                ElementsAre(TChange{clCleared, c, c}, TChange{clAppended, c, c + 2},
                            TChange{clReplaced, c, c + 2}, TChange{clAppended, c + 2, c + 3},
                            TChange{clAppended, c + 3, c + 4}));
    EXPECT_EQ(server.Stop(), 0);
}
