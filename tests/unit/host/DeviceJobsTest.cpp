// SPDX-License-Identifier: MIT
// Opening a device's handle is a job of the device's worker, as a transfer is.
#include "HostFixture.h"

#include <future>

using namespace ZEMB;
using namespace std::chrono_literals;

namespace {

using DeviceJobsTest = TTwoClientsTest<2, false>;

// While a device takes its time to open, the loop serves on: another device's transfer is
// answered meanwhile. The client lets go of its connection before the open is done (it
// unhooks), so the device is closed again afterwards: nobody has it open.
TEST_F(DeviceJobsTest, AnOpenHoldsUpNobodyElseAndIsUndoneForAConnectionLetGo) {
    const std::int32_t slow = Connect(A, 0, cmExclusive), quick = Connect(B, 1, cmExclusive);
    AttachWorkers();
    ASSERT_TRUE(Queued(&TUSB_IFHostLocal::OpenDeviceLater, quick));
    std::promise<void> entered, release;
    std::shared_future<void> gate = release.get_future().share();
    Device(0)->WhileOpening = [&entered, gate] {
        entered.set_value();
        gate.wait_for(30s);
    };
    std::optional<bool> opened, wrote;
    Host().OpenDeviceLater(slow, [&opened](TDeviceResult& r) { opened = r.Ok; });
    ASSERT_EQ(entered.get_future().wait_for(30s), std::future_status::ready);
    Host().WriteBufferLater(quick, TSafeByteArray(std::vector<std::uint8_t>{1, 2, 3}),
                            [&wrote](TDeviceResult& r) { wrote = r.Ok && r.Count == 3; });
    ASSERT_TRUE(RunUntil([&wrote] { return wrote.has_value(); }));
    EXPECT_TRUE(*wrote);
    EXPECT_FALSE(opened.has_value()) << "completes while the other waits";
    EXPECT_EQ(Device(1)->Written, (std::vector<std::uint8_t>{1, 2, 3}));

    ASSERT_TRUE(Host().UnhookClientApp(A));
    release.set_value();
    TFakeDevice& device = *Device(0);
    ASSERT_TRUE(RunUntil([&] { return opened.has_value() && device.Closes > 0; }));
    EXPECT_EQ(std::tuple(device.Active(), device.Opens, device.Closes), std::tuple(false, 1, 1));
    EXPECT_EQ(Container().ConnectedDevices.FindConnection(slow)->State,
              TUSB_Connection::csDisconnected);
}

} // namespace
