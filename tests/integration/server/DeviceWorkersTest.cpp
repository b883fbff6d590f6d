// SPDX-License-Identifier: MIT
// Devices in parallel on the real server under the simulator: each device's operations run on
// its own worker in the order asked, a slow device holds up nobody else, and what touches a
// device (close, disconnect, a rescan, an unplug) waits for the transfer running on it. Calls
// are sent without waiting for their replies, so several are pending at once; each reply is
// numbered in the order it arrived.
#include "SimServer.h"
#include "TestProcess.h"
#include "bus/BusConnection.h"
#include "bus/Marshal.h"
#include "contract/InterfaceTable.h"

#include <algorithm>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

using namespace ZEMB;
using namespace std::chrono_literals;

namespace {

// Two Fenwy boxes on libusb, "left" and "right".
constexpr const char* TwoFenwys = R"([left]
Driver=winusb_st
VendorId=0483
ProductId=a7f1
Instance=FWY000042007
Firmware=2.04
RamSize=0x0900
SerialNumber=20401234

[right]
Driver=winusb_st
VendorId=0483
ProductId=a7f1
Instance=FWY000043007
Firmware=2.04
RamSize=0x0900
SerialNumber=20405678
)";

const TSafeByteArray Ping(std::vector<std::uint8_t>{0x41, 0x42, 0x43, 0x44});
const TSafeByteArray Pong(std::vector<std::uint8_t>{0x51, 0x52, 0x53});

// A call on its way; Order is 0 until its reply came, then the how-many-th reply it was.
struct TPending {
    TPending() = default;
    TPending(const TPending&) = delete;
    TPending& operator=(const TPending&) = delete;
    TBusSlot Slot;
    TBusMessage Reply;
    int* Counter = nullptr;
    int Order = 0;
};
using TCall = std::unique_ptr<TPending>;

// One client application on a bus connection of its own, with its server object.
class TRawClient {
public:
    explicit TRawClient(const std::string& name) {
        std::string why;
        Bus_ = TZEMBBus::OpenSession(why);
        EXPECT_TRUE(Bus_) << why;
        TCall created = Send(std::string(FactoryPath), "CreateInstance", std::string(CLASS_ZEMBServer4));
        TObjectPath path;
        EXPECT_TRUE(Finish(created) && ReadArgs(created->Reply, path));
        Path_ = path.Path;
        TCall hooked = Send(Path_, "HookupClientApp2", std::uint8_t(aciBase),
                            std::int32_t(getpid()), std::string("testhost"), name);
        EXPECT_TRUE(Finish(hooked) && ReadArgs(hooked->Reply, AppID));
    }

    // Connects (exclusively unless shared) to the first device the client may have, opens it.
    std::int32_t Open(bool shared) {
        const std::uint8_t mode = shared ? cmShared : cmExclusive;
        std::int32_t devId = -1, connectId = -1;
        bool found = false, connected = false, opened = false;
        TCall first = Send(Path_, "FirstDevice2", std::uint8_t(dtFenwy), AppID, mode);
        EXPECT_TRUE(Finish(first) && ReadArgs(first->Reply, devId, found) && found);
        TCall connect = Send(Path_, "ConnectDevice", AppID, devId, mode, TObjectPath{"/"});
        EXPECT_TRUE(Finish(connect) && ReadArgs(connect->Reply, connectId, connected));
        TCall open = Send(Path_, "OpenDevice", connectId);
        EXPECT_TRUE(Finish(open) && ReadArgs(open->Reply, opened) && connected && opened);
        TCall info = Send(Path_, "DevInfo", devId, std::uint8_t(0));
        bool active = false;
        std::string linkName;
        EXPECT_TRUE(Finish(info) && ReadArgs(info->Reply, active, linkName));
        Device = linkName.find("FWY000042007") != std::string::npos ? "left" : "right";
        return connectId;
    }

    template <typename... T> TCall Call(const char* member, const T&... args) {
        return Send(Path_, member, args...);
    }

    // Pumps until the condition holds (bounded).
    bool Until(const std::function<bool()>& condition) {
        return WaitUntil(
            [&] {
                Bus_->WaitAndProcess(20ms);
                return condition();
            },
            30s);
    }
    bool Finish(const TCall& call) {
        return call && Until([&] { return call->Order > 0; }) &&
               !sd_bus_message_is_method_error(call->Reply.Get(), nullptr);
    }

    std::int32_t AppID = -1;
    std::string Device; // the simulator's name of the device Open opened

private:
    template <typename... T>
    TCall Send(const std::string& path, const char* member, const T&... args) {
        auto call = std::make_unique<TPending>();
        call->Counter = &Arrived_;
        TBusMessage m;
        if (Bus_->NewMethodCall(m, std::string(BusName).c_str(), path.c_str(), nullptr, member) <
                0 ||
            !AppendArgs(m, args...))
            return nullptr;
        sd_bus_slot* slot = nullptr;
        const auto onReply = [](sd_bus_message* reply, void* userdata, sd_bus_error*) {
            auto* pending = static_cast<TPending*>(userdata);
            pending->Reply = TBusMessage::Ref(reply);
            pending->Order = ++*pending->Counter;
            return 0;
        };
        if (sd_bus_call_async(Bus_->Get(), &slot, m.Get(), onReply, call.get(), 60'000'000) < 0)
            return nullptr;
        call->Slot.reset(slot);
        return call;
    }

    std::shared_ptr<TZEMBBus> Bus_;
    std::string Path_;
    int Arrived_ = 0;
};

// The values of a WriteBuffer (count, result) or ReadBuffer (bytes, count, result) reply.
bool Wrote(TPending& call) {
    std::int32_t count = 0;
    bool result = false;
    return ReadArgs(call.Reply, count, result) && result;
}
TSafeByteArray Read(TPending& call) {
    TSafeByteArray bytes;
    std::int32_t count = 0;
    bool result = false;
    if (!ReadArgs(call.Reply, bytes, count, result) || !result)
        return {};
    return bytes;
}
bool Result(TPending& call) {
    bool result = false;
    return ReadArgs(call.Reply, result) && result;
}

// Where the first line that contains text stands in lines; lines.size() when none does.
std::size_t Position(const std::vector<std::string>& lines, const std::string& text) {
    return static_cast<std::size_t>(
        std::ranges::find_if(
            lines, [&](const std::string& line) { return line.find(text) != std::string::npos; }) -
        lines.begin());
}

class DeviceWorkers : public ::testing::Test {
protected:
    void Start(const std::string& fenwyIni = {}) {
        std::string why;
        ASSERT_TRUE(Server.Start({TwoFenwys, fenwyIni}, why)) << why;
    }
    void TearDown() override { EXPECT_EQ(Server.Stop(), 0); }

    TSimServer Server;
};

} // namespace

// A device whose replies come late holds up only its own client: a client on the other
// device writes and reads its echo while the slow read still waits; the slow one gets its own
// echo afterwards.
TEST_F(DeviceWorkers, ASlowDeviceHoldsUpNobodyElse) {
    Start();
    TRawClient slow("slow"), quick("quick");
    const std::int32_t s = slow.Open(false), q = quick.Open(false);
    ASSERT_TRUE(Server.Control({"fault", slow.Device, "slow", "4000", "1"}));
    TCall slowWrite = slow.Call("WriteBuffer", s, Ping);
    TCall slowRead = slow.Call("ReadBuffer", s, TSafeByteArray(4, 1));
    ASSERT_TRUE(slow.Finish(slowWrite) && Wrote(*slowWrite));
    TCall quickWrite = quick.Call("WriteBuffer", q, Pong);
    TCall quickRead = quick.Call("ReadBuffer", q, TSafeByteArray(3, 1));
    ASSERT_TRUE(quick.Finish(quickWrite) && quick.Finish(quickRead));
    EXPECT_EQ(Read(*quickRead), Pong) << "completes while the other waits";
    EXPECT_EQ(slowRead->Order, 0);
    ASSERT_TRUE(slow.Finish(slowRead));
    EXPECT_EQ(Read(*slowRead), Ping);
}

// Two clients share one device: whatever either asks runs after what was asked before it on
// that device, so the second client's write, asked while the first one's slow read waits, is
// answered after it, and each client reads its own echo.
TEST_F(DeviceWorkers, OneDevicesOperationsRunInTheOrderAsked) {
    Start("[General]\r\nEnableSharedAccess=1\r\n");
    TRawClient a("a"), b("b");
    const std::int32_t x = a.Open(true), y = b.Open(true);
    ASSERT_TRUE(Server.Control({"fault", a.Device, "slow", "1500", "1"}));
    ASSERT_TRUE(a.Finish(a.Call("WriteBuffer", x, Ping)));
    Server.TakeDebugLines();
    TCall first = a.Call("ReadBuffer", x, TSafeByteArray(4, 1));
    std::vector<std::string> lines;
    ASSERT_TRUE(WaitUntil(
        [&] {
            std::ranges::copy(Server.TakeDebugLines(), std::back_inserter(lines));
            return Position(lines, ">TZEMBServer.ReadBuffer") < lines.size();
        },
        20s));
    TCall second = b.Call("WriteBuffer", y, Pong);
    TCall third = b.Call("ReadBuffer", y, TSafeByteArray(3, 1));
    ASSERT_TRUE(a.Finish(first) && b.Finish(third));
    std::ranges::copy(Server.TakeDebugLines(), std::back_inserter(lines));
    EXPECT_EQ(Read(*first), Ping);
    EXPECT_EQ(Read(*third), Pong);
    EXPECT_TRUE(second->Order > 0 && Wrote(*second));
    std::int32_t written = 0, read = 0;
    bool result = false;
    TCall stat = b.Call("TrafficStat", y);
    ASSERT_TRUE(b.Finish(stat) && ReadArgs(stat->Reply, written, read, result));
    EXPECT_EQ(std::make_pair(written, read), std::make_pair(3, 3));
    // b's write waited for a's read: its closing line comes after the read's.
    EXPECT_LT(Position(lines, "<TZEMBServer.ReadBuffer"),
              Position(lines, "<TZEMBServer.WriteBuffer"));
}

// Closing or disconnecting a connection whose read is still running: the read is answered
// first, with its echo (the handle stayed open for it), then the close.
TEST_F(DeviceWorkers, ACloseWaitsForTheTransferInFlight) {
    Start();
    for (const char* member : {"CloseDevice", "DisconnectDevice"}) {
        SCOPED_TRACE(member);
        TRawClient client(member);
        const std::int32_t c = client.Open(false);
        ASSERT_TRUE(Server.Control({"fault", client.Device, "slow", "1500", "1"}));
        ASSERT_TRUE(client.Finish(client.Call("WriteBuffer", c, Ping)));
        TCall read = client.Call("ReadBuffer", c, TSafeByteArray(4, 1));
        TCall close = client.Call(member, c);
        ASSERT_TRUE(client.Finish(close));
        EXPECT_TRUE(Result(*close));
        ASSERT_GT(read->Order, 0);
        EXPECT_LT(read->Order, close->Order);
        EXPECT_EQ(Read(*read), Ping);
        TCall late = client.Call("ReadBuffer", c, TSafeByteArray(4, 1));
        ASSERT_TRUE(client.Finish(late));
        EXPECT_EQ(Read(*late), TSafeByteArray()) << "no transfer on a closed handle";
        if (std::string(member) == "CloseDevice") {
            ASSERT_TRUE(client.Finish(client.Call("DisconnectDevice", c)));
        }
    }
}

// A device change while a transfer runs: the rescan waits for it (the read gets its echo,
// although the rescan closes and identifies every device), and the removal comes after it.
TEST_F(DeviceWorkers, ARescanWaitsForThePendingTransfer) {
    Start();
    TRawClient client("client");
    const std::int32_t c = client.Open(false);
    ASSERT_TRUE(Server.Control({"fault", client.Device, "slow", "2000", "1"}));
    ASSERT_TRUE(client.Finish(client.Call("WriteBuffer", c, Ping)));
    Server.TakeDebugLines();
    TCall read = client.Call("ReadBuffer", c, TSafeByteArray(4, 1));
    ASSERT_TRUE(Server.Control({"unplug", client.Device == "left" ? "right" : "left"}));
    ASSERT_TRUE(client.Finish(read));
    EXPECT_EQ(Read(*read), Ping);
    std::vector<std::string> lines;
    ASSERT_TRUE(WaitUntil(
        [&] {
            std::ranges::copy(Server.TakeDebugLines(), std::back_inserter(lines));
            return Position(lines, ") removed") < lines.size();
        },
        20s));
    EXPECT_LT(Position(lines, "<TZEMBServer.ReadBuffer"), Position(lines, ") removed"));
}

// A device pulled out while the host waits for its reply: the running read and the operations
// queued behind it fail, each is answered, and the client on the other device carries on.
TEST_F(DeviceWorkers, AnUnplugFailsTheQueuedOperationsAndSparesTheOtherDevice) {
    Start();
    TRawClient pulled("pulled"), other("other");
    const std::int32_t p = pulled.Open(false), o = other.Open(false);
    ASSERT_TRUE(Server.Control({"fault", pulled.Device, "unplug", "1"}));
    TCall write = pulled.Call("WriteBuffer", p, Ping);
    std::vector<TCall> queued;
    for (int i = 0; i < 3; ++i) {
        queued.push_back(pulled.Call("ReadBuffer", p, TSafeByteArray(4, 1)));
        queued.push_back(pulled.Call("WriteBuffer", p, Ping));
    }
    ASSERT_TRUE(pulled.Finish(write));
    for (const TCall& call : queued) {
        ASSERT_TRUE(pulled.Finish(call));
        EXPECT_FALSE(call->Reply.HasSignature("ib") ? Wrote(*call) : !Read(*call).Data().empty());
    }
    TCall echo = other.Call("WriteBuffer", o, Pong);
    TCall back = other.Call("ReadBuffer", o, TSafeByteArray(3, 1));
    ASSERT_TRUE(other.Finish(echo) && other.Finish(back));
    EXPECT_EQ(Read(*back), Pong);
}
