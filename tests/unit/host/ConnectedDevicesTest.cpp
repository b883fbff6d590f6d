// SPDX-License-Identifier: MIT
#include "HostFixture.h"

#include <limits>

using namespace ZEMB;

namespace {

using ConnectedDevicesTest = TTwoClientsTest<1, false>;

TEST_F(ConnectedDevicesTest, AccessRule) {
    // Shared joins shared while nobody has opened.
    const std::int32_t a = Connect(A, 0, cmShared), b = Connect(B, 0, cmShared);
    ASSERT_EQ(std::pair(a, b), std::pair(0, 1));
    EXPECT_TRUE(Host().DisconnectDevice(b));
    // Opened: another client's shared request is refused unless shared access is enabled.
    ASSERT_TRUE(Host().OpenDevice(a));
    EXPECT_EQ(Connect(B, 0, cmShared), -1);
    ZEMBSettings().EnableSharedAccess = true;
    EXPECT_EQ(Connect(B, 0, cmShared), b);
    EXPECT_EQ(Connect(B, 0, cmExclusive), -1); // exclusive is never shared
    ZEMBSettings().EnableSharedAccess = false;

    TUSB_IFDeviceBase& device = *Container().FindDevice(0);
    auto& list = Container().ConnectedDevices;
    // A's own opened connection does not block A; -1 is no client and is never exempt.
    EXPECT_TRUE(list.CanConnect(device, A, cmShared) && !list.CanConnect(device, -1, cmShared));
    // A client may ask exclusive access to a device it already holds shared.
    ASSERT_TRUE(Host().DisconnectDevice(b));
    EXPECT_TRUE(list.CanConnect(device, A, cmExclusive));
    EXPECT_FALSE(list.CanConnect(device, B, cmExclusive));
    // Disconnected connections do not count.
    ASSERT_TRUE(Host().DisconnectDevice(a));
    EXPECT_TRUE(list.CanConnect(device, B, cmExclusive));
}

TEST_F(ConnectedDevicesTest, ReconnectReusesTheConnection) {
    TCapturedLog log("TUSB_ConnectedDevices");
    auto first = Event("first");
    const std::int32_t id = Connect(A, 0, cmShared, first);
    ASSERT_TRUE(Host().OpenDevice(id));
    std::int32_t again = -1;
    bool reconnected = false;
    ASSERT_TRUE(Host().ConnectDevice(A, 0, cmShared, Event("second"), again, reconnected));
    const TUSB_Connection& connection = *Container().ConnectedDevices.FindConnection(id);
    // The state is reset even though opened; the first callback stays, the second is stray.
    EXPECT_EQ(std::tuple(again, reconnected, Container().ConnectedDevices.StrayInterfaceCount,
                         connection.State, connection.Callback),
              std::tuple(id, true, 1, TUSB_Connection::csConnected, first));
    EXPECT_THAT(log.Lines,
                ElementsAre("AddConnection (new) - (ClientAppID: 1)(ConnectID: 0)(DeviceID: 0)",
                            "AddConnection (prev) - (ClientAppID: 1)(ConnectID: 0)(DeviceID: 0)"));
    // A different mode is a different connection with the next identifier.
    EXPECT_EQ(Connect(A, 0, cmExclusive), id + 1);
}

// The same rules at once and as a client's call asks them (queued on the device, the handle's
// open or close a job of the device's worker).
TEST_F(ConnectedDevicesTest, OpenAndCloseCountOverTwoConnections) {
    ZEMBSettings().EnableSharedAccess = true;
    for (const bool queued : {false, true}) {
        SCOPED_TRACE(queued ? "queued" : "at once");
        auto open = [&](std::int32_t id) {
            return queued ? Queued(&TUSB_IFHostLocal::OpenDeviceLater, id) : Host().OpenDevice(id);
        };
        auto close = [&](std::int32_t id) {
            return queued ? Queued(&TUSB_IFHostLocal::CloseDeviceLater, id)
                          : Host().CloseDevice(id);
        };
        auto disconnect = [&](std::int32_t id) {
            return queued ? Queued(&TUSB_IFHostLocal::DisconnectDeviceLater, id)
                          : Host().DisconnectDevice(id);
        };
        const std::int32_t a = Connect(A, 0, cmShared), b = Connect(B, 0, cmShared);
        TFakeDevice& device = *Device(0);
        device.Opens = device.Closes = 0;
        EXPECT_FALSE(close(a)); // not opened
        ASSERT_TRUE(open(a));
        ASSERT_TRUE(open(b));
        EXPECT_FALSE(open(b)); // already opened
        EXPECT_TRUE(close(a));
        EXPECT_TRUE(device.Active()); // b still holds it open
        EXPECT_TRUE(close(b));
        EXPECT_EQ(std::tuple(device.Active(), device.Opens, device.Closes),
                  std::tuple(false, 1, 1));

        // A failed close leaves the connection opened.
        ASSERT_TRUE(open(a));
        device.FailClose = true;
        const auto& state = Container().ConnectedDevices.FindConnection(a)->State;
        // A disconnect closes first: that close fails too, so the connection stays.
        EXPECT_FALSE(close(a) || disconnect(a));
        EXPECT_EQ(state, TUSB_Connection::csOpened);
        device.FailClose = false;
        EXPECT_TRUE(disconnect(a)); // closes first, then disconnects
        EXPECT_FALSE(device.Active());
        EXPECT_EQ(state, TUSB_Connection::csDisconnected);
        EXPECT_FALSE(disconnect(a)); // already disconnected
    }
}

TEST_F(ConnectedDevicesTest, UnhookClosesAndDisconnectsWithLogLines) {
    TCapturedLog log("RUVAzerLogDevOp");
    const std::int32_t opened = Connect(A, 0, cmShared);
    ASSERT_TRUE(Host().OpenDevice(opened));
    ASSERT_TRUE(Host().UnhookClientApp(A));
    EXPECT_EQ(log.Lines, (std::vector<std::string>{
                             "(Inserted: CloseDevice)(ConnectID 0)(ClientAppID 1):  ok",
                             "(Inserted: DisconnectDevice)(ConnectID 0)(ClientAppID 1):  ok"}));
    EXPECT_EQ(
        std::tuple(Device(0)->Active(), Container().ConnectedDevices.FindConnection(opened)->State),
        std::tuple(false, TUSB_Connection::csDisconnected));
}

TEST_F(ConnectedDevicesTest, TrafficCountersWrapAround) {
    const std::int32_t id = Connect(A, 0, cmShared);
    TUSB_Connection& connection = *Container().ConnectedDevices.FindConnection(id);
    connection.TotalWriteCount = std::numeric_limits<std::int32_t>::max() - 1;
    std::int32_t written = 0;
    EXPECT_TRUE(Host().WriteBuffer(id, TSafeByteArray(std::vector<std::uint8_t>(4, 1)), written));
    EXPECT_EQ(std::pair(written, connection.TotalWriteCount),
              std::pair(4, std::numeric_limits<std::int32_t>::min() + 2));
}

// While a rescan has the devices closed to identify them (the loop serving on), closing a
// connection is done, not failed, and the rescan reopens a device only while somebody has it open.
TEST_F(ConnectedDevicesTest, ADeviceClosedForARescanIsReopenedOnlyWhileStillOpenForSomebody) {
    ZEMBSettings().EnableSharedAccess = true;
    const std::int32_t a = Connect(A, 0, cmShared), b = Connect(B, 0, cmShared);
    ASSERT_TRUE(Host().OpenDevice(a) && Host().OpenDevice(b));
    TUSB_IFDeviceBase& device = *Container().FindDevice(0);
    TUSB_IFDeviceCollection& cell = *device.Collection();
    for (const auto& [closing, reopened] : {std::pair(a, true), std::pair(b, false)}) {
        cell.CloseOpenDevices();
        ASSERT_FALSE(device.Active());
        EXPECT_TRUE(Host().CloseDevice(closing));
        cell.ReopenClosedDevices();
        EXPECT_EQ(device.Active(), reopened) << closing;
    }
    ZEMBSettings().EnableSharedAccess = false;
}

// ConnectIDs wrap from the largest to the smallest; one given twice (after 2^32 connections)
// finds the connection first made with it, as the search in the order of making did.
TEST_F(ConnectedDevicesTest, ConnectIDsWrapAndARepeatedOneFindsTheFirstConnection) {
    auto& list = Container().ConnectedDevices;
    constexpr auto largest = std::numeric_limits<std::int32_t>::max();
    list.NextConnectID = largest;
    const std::int32_t first = Connect(A, 0, cmShared), next = Connect(B, 0, cmShared);
    EXPECT_EQ(std::pair(first, next), std::pair(largest, std::numeric_limits<std::int32_t>::min()));
    ASSERT_TRUE(Host().DisconnectDevice(first) && Host().DisconnectDevice(next));
    list.NextConnectID = first;
    ASSERT_EQ(Connect(A, 0, cmExclusive), first);
    const TUSB_Connection* found = list.FindConnection(first);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(std::tuple(found->Mode, found->State, list.FindConnection(next)->ClientAppID),
              std::tuple(cmShared, TUSB_Connection::csDisconnected, B));
}

// A session older than ten seconds is taken over; ending one ends whoever holds it, and one
// lock is held while a session runs. While a rescan waits (busy) a running session is not
// renewed, but one is granted when none runs.
TEST_F(ConnectedDevicesTest, SessionRules) {
    const std::int32_t a = Connect(A, 0, cmShared), b = Connect(B, 0, cmShared);
    TUSB_ConnectedDevice& entry = *Container().ConnectedDevices.Items()[0];
    // clang-format off
    // Seconds passed, busy, 'S'tart or 'E'nd for whom; its result and the locks held after it.
    const struct { double after; bool busy; char op; std::int32_t id; bool result; int locks; }
    steps[] = {
        {0, false, 'S', a, true, 1}, {9.9, false, 'S', b, false, 1}, {0.1, false, 'S', b, true, 1},
        {0, false, 'S', b, true, 1}, {0, false, 'E', a, true, 0}, {0, false, 'E', b, true, 0},
        {0, false, 'S', -1, false, 0}, {0, false, 'E', 77, false, 0}, {0, false, 'S', a, true, 1},
        {0, true, 'S', a, false, 1}, {0, true, 'E', a, true, 0}, {0, true, 'S', a, true, 1},
        {0, true, 'E', a, true, 0}};
    // clang-format on
    for (const auto& s : steps) {
        AdvanceSeconds(s.after);
        entry.Busy = s.busy;
        // Braces: the call runs before the count is read.
        EXPECT_EQ((std::pair{s.op == 'S' ? Host().StartSession(s.id) : Host().EndSession(s.id),
                             Window.LockCount}),
                  std::pair(s.result, s.locks))
            << "step " << &s - steps;
    }
}

TEST_F(ConnectedDevicesTest, WaitForSessionsGivesUpAfterTenSeconds) {
    const std::int32_t a = Connect(A, 0, cmShared);
    auto& list = Container().ConnectedDevices;
    ASSERT_TRUE(list.WaitForSessions());
    EXPECT_TRUE(list.Items()[0]->Busy);
    list.ClearBusy();

    ASSERT_TRUE(Host().StartSession(a));
    const int sleepsBefore = Sleeps;
    EXPECT_FALSE(list.WaitForSessions());
    EXPECT_GT(Sleeps, sleepsBefore); // it polled (on the fake clock) before giving up
    EXPECT_FALSE(list.Items()[0]->Busy);
}

// Both lists log a positional access out of range as the list class reports it.
TEST_F(ConnectedDevicesTest, PositionalAccessOutOfRangeIsLogged) {
    TCapturedLog log("RUVAzerComm");
    Connect(A, 0, cmShared);
    TUSB_ConnectedDevice& entry = *Container().ConnectedDevices.Items()[0];
    EXPECT_NE(entry.GetConnectionFromIndex(0), nullptr);
    EXPECT_EQ(entry.GetConnectionFromIndex(-1), nullptr);
    EXPECT_EQ(Container().ClientApps.HookedUpClientAppFromIndex(3), nullptr);
    EXPECT_THAT(log.Lines, ElementsAre("TUSB_ConnectedDevice.GetConnectionFromIndex EListError "
                                       "List index out of bounds (-1) -1 1",
                                       "TUSB_HookedUpClientApps.HookedUpClientAppFromIndex "
                                       "EListError List index out of bounds (3) 3 3"));
}

} // namespace
