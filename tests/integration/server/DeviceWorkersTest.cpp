// SPDX-License-Identifier: MIT
// Devices in parallel on the real server under the simulator: each device's operations run on
// its own worker in the order asked, a slow device holds up nobody else, and what touches a
// device (close, disconnect, a rescan, an unplug) waits for the transfer running on it.
#include "SimServer.h"
#include "TestProcess.h"
#include "bus/BusConnection.h"
#include "bus/Marshal.h"
#include "contract/InterfaceTable.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

using namespace ZEMB;
using namespace std::chrono_literals;

namespace {

// Two Fenwy boxes on libusb, "left" and "right".
constexpr const char* TwoFenwys =
    "[left]\nDriver=winusb_st\nVendorId=0483\nProductId=a7f1\nInstance=FWY000042007\n"
    "Firmware=2.04\nRamSize=0x0900\nSerialNumber=20401234\n[right]\nDriver=winusb_st\n"
    "VendorId=0483\nProductId=a7f1\nInstance=FWY000043007\nFirmware=2.04\nRamSize=0x0900\n"
    "SerialNumber=20405678\n";

const TSafeByteArray Ping(std::vector<std::uint8_t>{0x41, 0x42, 0x43, 0x44});
const TSafeByteArray Pong(std::vector<std::uint8_t>{0x51, 0x52, 0x53});

// A call sent without waiting for its reply, so that several are pending at once; Order is 0
// until its reply came, then the how-many-th reply it was.
struct TPending {
    std::unique_ptr<TZEMBBus::TAsyncReply> Async;
    int Order = 0;
};
int Arrived = 0;
using TCall = std::unique_ptr<TPending>;

// One client application on a bus connection of its own, with its server object, connected
// (exclusively unless shared) to the first device it may have, which it opens: Id.
class TRawClient {
public:
    explicit TRawClient(const std::string& name, bool shared = false) {
        std::string why;
        Bus_ = TZEMBBus::OpenSession(why);
        EXPECT_TRUE(Bus_) << why;
        const std::uint8_t mode = shared ? cmShared : cmExclusive;
        bool found = false, connected = false, opened = false, active = false;
        std::string linkName;
        EXPECT_TRUE(
            Ask(Call("CreateInstance", std::string(CLASS_ZEMBServer4)), Path_) &&
            Ask(Call("HookupClientApp2", std::uint8_t(aciBase), std::int32_t(getpid()),
                     std::string("testhost"), name),
                AppID) &&
            Ask(Call("FirstDevice2", std::uint8_t(dtFenwy), AppID, mode), DevID, found) && found &&
            Ask(Call("ConnectDevice", AppID, DevID, mode, TObjectPath{"/"}), Id, connected) &&
            connected && Ask(Call("OpenDevice", Id), opened) && opened &&
            Ask(Call("DevInfo", DevID, std::uint8_t(0)), active, linkName));
        Device = linkName.find("FWY000042007") != std::string::npos ? "left" : "right";
    }

    // Sends member to the server object (to the factory until there is one).
    template <typename... T> TCall Call(const char* member, const T&... args) {
        auto call = std::make_unique<TPending>();
        TBusMessage m;
        if (Bus_->NewMethodCall(m, BusName.data(), Path_.Path.c_str(), nullptr, member) < 0 ||
            !AppendArgs(m, args...))
            return nullptr;
        call->Async =
            Bus_->CallAsync(m, 60s, [pending = call.get()] { pending->Order = ++Arrived; });
        return call->Async ? std::move(call) : nullptr;
    }
    TCall Write(const TSafeByteArray& bytes) { return Call("WriteBuffer", Id, bytes); }
    TCall Read(std::size_t count) { return Call("ReadBuffer", Id, TSafeByteArray(count, 1)); }
    // Pumps until the reply came (bounded); false for none or an error.
    bool Finish(const TCall& call) {
        const auto replied = [&] {
            Bus_->WaitAndProcess(20ms);
            return call->Order > 0;
        };
        return call && WaitUntil(replied, 30s) && !call->Async->Reply.IsError();
    }
    // Finish, then the reply's values into out.
    template <typename... T> bool Ask(const TCall& call, T&... out) {
        return Finish(call) && ReadArgs(call->Async->Reply, out...);
    }

    // Whether its device is open now, by DevInfo; nullopt when DevInfo did not answer.
    std::optional<bool> Active() {
        bool active = false;
        std::string linkName;
        if (!Ask(Call("DevInfo", DevID, std::uint8_t(0)), active, linkName))
            return std::nullopt;
        return active;
    }

    std::int32_t AppID = -1, Id = -1, DevID = -1;
    std::string Device; // the simulator's name of its device

private:
    std::shared_ptr<TZEMBBus> Bus_;
    TObjectPath Path_{std::string(FactoryPath)};
};

// A WriteBuffer reply's (count, result) result; a ReadBuffer reply's (bytes, count, result)
// bytes, none when it failed.
bool Wrote(TPending& call) {
    std::int32_t count = 0;
    bool result = false;
    return ReadArgs(call.Async->Reply, count, result) && result;
}
TSafeByteArray ReadBytes(TPending& call) {
    TSafeByteArray bytes;
    std::int32_t count = 0;
    bool result = false;
    return ReadArgs(call.Async->Reply, bytes, count, result) && result ? bytes : TSafeByteArray();
}

class DeviceWorkers : public ::testing::Test {
protected:
    // Shared access allowed, for the clients that ask for it.
    void SetUp() override {
        std::string why;
        ASSERT_TRUE(Server.Start({TwoFenwys, "[General]\r\nEnableSharedAccess=1\r\n"}, why)) << why;
    }
    void TearDown() override { EXPECT_EQ(Server.Stop(), 0); }

    // Where the first debug line taken that contains text stands; Lines.size() when none does.
    std::size_t Position(const std::string& text) const {
        std::size_t i = 0;
        while (i < Lines.size() && Lines[i].find(text) == std::string::npos)
            ++i;
        return i;
    }
    // Ping written to the client's device, which then answers late (ms), and a read on its way;
    // the debug lines written until then (the write's come after its reply) are dropped.
    TCall SlowRead(TRawClient& client, const char* ms) {
        EXPECT_TRUE(Server.Control({"fault", client.Device, "slow", ms, "1"}) &&
                    client.Finish(client.Write(Ping)) &&
                    WaitForDebugLine("<TZEMBServer.WriteBuffer"));
        Lines.clear();
        return client.Read(4);
    }
    // Takes the server's debug lines into Lines until one contains text (bounded).
    bool WaitForDebugLine(const std::string& text) {
        return WaitUntil(
            [&] {
                std::ranges::copy(Server.TakeDebugLines(), std::back_inserter(Lines));
                return Position(text) < Lines.size();
            },
            20s);
    }

    TSimServer Server;
    std::vector<std::string> Lines;
};

} // namespace

// A device whose replies come late holds up only its own client: a client on the other
// device writes and reads its echo while the slow read still waits; the slow one gets its own
// echo afterwards.
TEST_F(DeviceWorkers, ASlowDeviceHoldsUpNobodyElse) {
    TRawClient slow("slow"), quick("quick");
    ASSERT_TRUE(Server.Control({"fault", slow.Device, "slow", "4000", "1"}));
    TCall slowWrite = slow.Write(Ping), slowRead = slow.Read(4);
    ASSERT_TRUE(slow.Finish(slowWrite) && Wrote(*slowWrite));
    TCall quickWrite = quick.Write(Pong), quickRead = quick.Read(3);
    ASSERT_TRUE(quick.Finish(quickWrite) && quick.Finish(quickRead));
    EXPECT_EQ(ReadBytes(*quickRead), Pong) << "completes while the other waits";
    EXPECT_EQ(slowRead->Order, 0);
    ASSERT_TRUE(slow.Finish(slowRead));
    EXPECT_EQ(ReadBytes(*slowRead), Ping);
}

// Two clients share one device: whatever either asks runs after what was asked before it on
// that device, so the second client's write, asked while the first one's slow read waits, is
// answered after it, and each client reads its own echo.
TEST_F(DeviceWorkers, OneDevicesOperationsRunInTheOrderAsked) {
    TRawClient a("a", true), b("b", true);
    TCall first = SlowRead(a, "1500");
    ASSERT_TRUE(WaitForDebugLine(">TZEMBServer.ReadBuffer"));
    TCall second = b.Write(Pong), third = b.Read(3);
    ASSERT_TRUE(a.Finish(first) && b.Finish(third));
    EXPECT_EQ(ReadBytes(*first), Ping);
    EXPECT_EQ(ReadBytes(*third), Pong);
    EXPECT_TRUE(second->Order > 0 && Wrote(*second));
    std::int32_t written = 0, read = 0;
    bool result = false;
    ASSERT_TRUE(b.Ask(b.Call("TrafficStat", b.Id), written, read, result));
    EXPECT_EQ(std::make_pair(written, read), std::make_pair(3, 3));
    // b's write waited for a's read: its closing line comes after the read's.
    ASSERT_TRUE(WaitForDebugLine("<TZEMBServer.WriteBuffer"));
    EXPECT_LT(Position("<TZEMBServer.ReadBuffer"), Position("<TZEMBServer.WriteBuffer"));
}

// Closing or disconnecting a connection whose read is still running: the read is answered
// first, with its echo (the handle stayed open for it), then the close.
TEST_F(DeviceWorkers, ACloseWaitsForTheTransferInFlight) {
    for (const std::string member : {"CloseDevice", "DisconnectDevice"}) {
        SCOPED_TRACE(member);
        TRawClient client(member);
        TCall read = SlowRead(client, "1500");
        TCall close = client.Call(member.c_str(), client.Id);
        bool closed = false;
        ASSERT_TRUE(client.Ask(close, closed) && closed);
        ASSERT_GT(read->Order, 0);
        EXPECT_LT(read->Order, close->Order);
        EXPECT_EQ(ReadBytes(*read), Ping);
        TCall late = client.Read(4);
        ASSERT_TRUE(client.Finish(late));
        EXPECT_EQ(ReadBytes(*late), TSafeByteArray()) << "no transfer on a closed handle";
        EXPECT_TRUE(member != "CloseDevice" ||
                    client.Finish(client.Call("DisconnectDevice", client.Id)));
    }
}

// A device change while a transfer runs: the rescan waits for it (the read gets its echo,
// although the rescan closes and identifies every device), and the removal comes after it.
TEST_F(DeviceWorkers, ARescanWaitsForThePendingTransfer) {
    TRawClient client("client");
    TCall read = SlowRead(client, "2000");
    ASSERT_TRUE(Server.Control({"unplug", client.Device == "left" ? "right" : "left"}));
    ASSERT_TRUE(client.Finish(read));
    EXPECT_EQ(ReadBytes(*read), Ping);
    ASSERT_TRUE(WaitForDebugLine(") removed"));
    EXPECT_LT(Position("<TZEMBServer.ReadBuffer"), Position(") removed"));
}

// A rescan identifies the devices aside while the loop serves on: a device that answers late
// costs the rescan its wait, and meanwhile a client's DevInfo is answered and sees its device
// closed for the rescan (a loop held by the rescan could only answer before or after it). The
// client's transfer asked meanwhile waits for the rescan, then goes through.
TEST_F(DeviceWorkers, ARescanIdentifiesAsideWhileTheLoopServes) {
    TRawClient client("client");
    const std::string other = client.Device == "left" ? "right" : "left";
    ASSERT_TRUE(Server.Control({"unplug", other}));
    ASSERT_TRUE(WaitForDebugLine(") removed"));
    ASSERT_TRUE(WaitUntil([&] { return client.Active() == true; }, 20s));
    ASSERT_TRUE(Server.Control({"fault", other, "slow", "4000", "1"}) &&
                Server.Control({"plug", other}));
    ASSERT_TRUE(WaitUntil([&] { return client.Active() == false; }, 20s))
        << "no answer came while the rescan identified the devices";
    TCall write = client.Write(Ping), read = client.Read(4);
    ASSERT_TRUE(client.Finish(read));
    EXPECT_TRUE(Wrote(*write));
    EXPECT_EQ(ReadBytes(*read), Ping);
    EXPECT_EQ(client.Active(), true);
    ASSERT_TRUE(WaitForDebugLine(") Inserted"));
}

// A device pulled out while the host waits for its reply: the running read and the operations
// queued behind it fail, each is answered, and the client on the other device carries on.
TEST_F(DeviceWorkers, AnUnplugFailsTheQueuedOperationsAndSparesTheOtherDevice) {
    TRawClient pulled("pulled"), other("other");
    ASSERT_TRUE(Server.Control({"fault", pulled.Device, "unplug", "1"}));
    TCall write = pulled.Write(Ping);
    std::vector<TCall> queued(6);
    for (std::size_t i = 0; i < queued.size(); ++i) // reads and writes by turns
        queued[i] = i % 2 == 0 ? pulled.Read(4) : pulled.Write(Ping);
    ASSERT_TRUE(pulled.Finish(write));
    for (const TCall& call : queued) {
        ASSERT_TRUE(pulled.Finish(call));
        EXPECT_FALSE(call->Async->Reply.HasSignature("ib") ? Wrote(*call)
                                                           : !ReadBytes(*call).Data().empty());
    }
    TCall echo = other.Write(Pong), back = other.Read(3);
    ASSERT_TRUE(other.Finish(echo) && other.Finish(back));
    EXPECT_EQ(ReadBytes(*back), Pong);
}
