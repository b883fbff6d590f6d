// SPDX-License-Identifier: MIT
#include "HostFixture.h"

using namespace ZEMB;

namespace {

using RescanTest = TTwoClientsTest<2, true>;

TEST_F(RescanTest, StillAttachedDeviceKeepsItsObjectAndNobodyIsCalled) {
    const std::int32_t a = Connect(A, 0, cmShared);
    ASSERT_TRUE(Host().OpenDevice(a));
    TUSB_IFDeviceBase* before = Container().FindDevice(0);
    DeviceChange();
    // Closed for the scan and reopened.
    EXPECT_EQ(std::tuple(Heard().empty(), Container().FindDevice(0), before->Active(),
                         Device(0)->Opens, Bus.Scans),
              std::tuple(true, before, true, 2, 2));
}

// A box pulled out and plugged in again is the same device: same DevID, and its connections
// come back disconnected until their client connects again, under their old ConnectID. Its
// "removed" and "re-inserted" lines: HostHotplugTest, on the real udev path.
TEST_F(RescanTest, ReplugKeepsTheDevIDAndTheConnections) {
    const std::int32_t a = Connect(A, 1, cmShared, Event("a"));
    const std::int32_t b = Connect(B, 1, cmShared, Event("b"));
    ASSERT_TRUE(Host().OpenDevice(a));
    Unplug("000000002");
    ASSERT_EQ(std::pair(a, b), std::pair(0, 1));
    EXPECT_THAT(Heard(), ElementsAre("DeviceRemoved 1 @A", "DeviceRemoved 1 @B",
                                     "Disconnected 0 @a", "Disconnected 1 @b"));
    EXPECT_EQ(Container().FindDevice(1), nullptr);
    Bus.Attached.push_back({"000000002"});
    DeviceChange();
    EXPECT_THAT(Heard(), ElementsAre("Reconnected 0 @a", "Reconnected 1 @b", "DeviceAdded 1 @A",
                                     "DeviceAdded 1 @B"));
    EXPECT_EQ(Container().ConnectedDevices.FindConnection(a)->State,
              TUSB_Connection::csDisconnected);
    EXPECT_EQ(Connect(A, 1, cmShared), a);
    EXPECT_TRUE(Host().OpenDevice(a));
}

TEST_F(RescanTest, ChangedIdentityGetsANewDevID) {
    Unplug("000000001"); // gone in one scan, back in the next with new firmware
    Bus.Attached.insert(Bus.Attached.begin(),
                        TFakeBox{"000000001", dtFenwy, ddWinUSB_Silabs, 0x0205});
    DeviceChange();
    EXPECT_THAT(Heard(), ElementsAre("DeviceRemoved 0 @A", "DeviceRemoved 0 @B", "DeviceAdded 2 @A",
                                     "DeviceAdded 2 @B"));
    EXPECT_EQ(Container().FindDevice(2)->SerialNumber, "000000001");

    // Same serial number but now in another cell: adopted there as a new device, and dropped
    // from its old cell, cells taken in order (the dtMirel row comes before dtFenwy).
    Bus.Attached[0].DevType = dtMirel;
    DeviceChange();
    EXPECT_THAT(Heard(), ElementsAre("DeviceAdded 3 @A", "DeviceAdded 3 @B", "DeviceRemoved 2 @A",
                                     "DeviceRemoved 2 @B"));
}

TEST_F(RescanTest, ChangeDuringASessionIsHandledOnceAtEndSession) {
    const std::int32_t a = Connect(A, 0, cmShared);
    ASSERT_TRUE(Host().StartSession(a));
    Bus.Attached.pop_back();
    for (int n = 0; n < 3; ++n)
        DeviceChange();
    EXPECT_EQ(std::tuple(Bus.Scans, Window.Pending, Container().FindDevice(1) != nullptr),
              std::tuple(1, true, true));
    ASSERT_TRUE(Host().EndSession(a));
    EXPECT_EQ(std::pair(Bus.Scans, Window.Pending), std::pair(2, false));
    EXPECT_THAT(Heard(), ElementsAre("DeviceRemoved 1 @A", "DeviceRemoved 1 @B"));
}

TEST_F(RescanTest, ChangeEventSignalsAReportedChange) {
    const int fd = Window.ChangeEvent();
    ASSERT_GE(fd, 0);
    std::uint64_t count = 0;
    EXPECT_LT(read(fd, &count, sizeof count), 0); // nothing yet
    DeviceChange();                               // no change
    EXPECT_LT(read(fd, &count, sizeof count), 0);
    Unplug("000000002");
    ASSERT_EQ(read(fd, &count, sizeof count), static_cast<ssize_t>(sizeof count));
    EXPECT_EQ(count, 1u);
}

TEST(FrmMessageCatchTest, LocksDeferAndUnlockNeverGoesBelowZero) {
    TFrmMessageCatch window;
    int changes = 0;
    window.OnDevicesChanged = [&](bool& Changed) {
        ++changes;
        Changed = false;
    };
    window.Unlock(); // below zero it would let the first of the next unlocks run the change
    window.Lock();
    window.Lock();
    window.WMDeviceChange();
    window.WMDeviceChange();
    window.Unlock();
    EXPECT_EQ(changes, 0); // deferred until the last lock goes
    window.Unlock();
    EXPECT_EQ(std::pair(changes, window.LockCount), std::pair(1, 0));

    // A change arriving while one is handled runs once more afterwards, not re-entered.
    int depth = 0, maxDepth = 0;
    window.OnDevicesChanged = [&](bool&) {
        maxDepth = std::max(maxDepth, ++depth);
        if (++changes == 2)
            window.WMDeviceChange();
        --depth;
    };
    window.WMDeviceChange();
    EXPECT_EQ(std::pair(changes, maxDepth), std::pair(3, 1));

    // An error from the handler travels on and leaves the window unlocked.
    window.OnDevicesChanged = [](bool&) { throw std::runtime_error("scan failed"); };
    EXPECT_THROW(window.WMDeviceChange(), std::runtime_error);
    EXPECT_EQ(window.LockCount, 0);
}

// A client whose callbacks fail is logged and skipped: every other client is told all the same.
// A client that ended without unhooking: once its callbacks are forgotten, it is no longer
// called; it keeps its registration and connection.
TEST_F(RescanTest, FailingCallbacksAreLoggedAndSkippedAndForgottenOnesNotCalled) {
    auto gone = Event("gone");
    gone->Fail = RPC_E_DISCONNECTED;
    const std::int32_t a = Connect(A, 1, cmShared, gone), b = Connect(B, 1, cmShared, Event("b"));
    SinkA->FailAt = 1;
    TCapturedLog barrier("RUVAzer Comm");
    Unplug("000000002");
    ASSERT_EQ(std::pair(a, b), std::pair(0, 1));
    EXPECT_THAT(Heard(), ElementsAre("DeviceRemoved 1 @A", "DeviceRemoved 1 @B",
                                     "Disconnected 0 @gone", "Disconnected 1 @b"));
    EXPECT_EQ(barrier.Lines,
              (std::vector<std::string>{
                  "TUSB_IFHostLocal.NotifyDeviceRemoved EOleSysError OLE error 80004005",
                  "TUSB_ConnectedDevices.DeviceDetached EOleSysError OLE error 80010108"}));
    EXPECT_EQ(Container().FindDevice(1), nullptr);

    auto stranger = std::make_shared<TRecordingSink>(Log, "stranger");
    Container().ForgetCallbacks({SinkA, stranger}, {gone});
    Bus.Attached.push_back({"000000002"});
    DeviceChange();
    EXPECT_THAT(Heard(), ElementsAre("Reconnected 1 @b", "DeviceAdded 1 @B"));

    EXPECT_EQ(AppInfo(A), "2 pc1 /opt/a");
    EXPECT_EQ(Container().ClientApps.FindClientApp(A)->ZEMBHost, nullptr);
    EXPECT_EQ(Container().ClientApps.FindClientApp(B)->ZEMBHost, SinkB);
    TUSB_Connection* kept = Container().ConnectedDevices.FindConnection(a);
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(std::pair(kept->Callback == nullptr, kept->ClientAppID), std::pair(true, A));
    // As after a sink of none: the client may set one again when it comes back.
    EXPECT_TRUE(Host().SetZEMBHost(A, SinkA));
}

// The server serves other clients while it waits for one, so a callback may be forgotten
// while it is being called; the call runs to its end on its own reference.
TEST_F(RescanTest, CallbacksForgottenDuringTheirOwnCallRunToTheirEnd) {
    auto event = Event("a");
    const std::int32_t a = Connect(A, 1, cmShared, event);
    std::weak_ptr<TRecordingEvent> watchEvent = event;
    std::weak_ptr<TRecordingSink> watchSink = SinkA;
    event->DuringCall = [this, &event] {
        Container().ForgetCallbacks({}, {event});
        event.reset();
    };
    SinkA->DuringCall = [this] {
        Container().ForgetCallbacks({SinkA}, {});
        SinkA.reset();
    };
    Unplug("000000002");
    ASSERT_EQ(a, 0);
    EXPECT_THAT(Heard(),
                ElementsAre("DeviceRemoved 1 @A", "DeviceRemoved 1 @B", "Disconnected 0 @a"));
    EXPECT_TRUE(watchEvent.expired() && watchSink.expired());
}

} // namespace
