// SPDX-License-Identifier: MIT
#include "HostFixture.h"
#include "host/ServerSink.h"

using namespace ZEMB;

namespace {

class HostOperationsTest : public THostTest {
protected:
    void SetUp() override {
        // Identifiers go by cell order: column ddSilabs first, then by DevType.
        Bus.Attached = {{"CORRA0001", dtCorra, ddWinUSB_ST},
                        {"FENWY0001", dtFenwy, ddWinUSB_Silabs},
                        {"MIREL0001", dtMirel, ddWinUSB_Silabs},
                        {"SILAB0001", dtFenwy, ddSilabs, 0x0204, 512}};
    }
};

TEST_F(HostOperationsTest, AccessTableDecidesWhoMayConnect) {
    const std::int32_t v = Hookup(aciVantor, "/opt/v"), c = Hookup(aciCorra, "/opt/c"),
                       n = Hookup(aciNone, "/opt/n");
    // DevID 3 is dtCorra, 1 dtMirel, 2 dtFenwy; 0 the server's own aciBase entry, 99 no client.
    const std::tuple<std::int32_t, std::int32_t, bool> cases[] = {
        {v, 3, false}, {v, 1, true}, {v, 2, true},   {c, 3, true},  {c, 2, false},
        {n, 2, false}, {0, 2, true}, {99, 2, false}, {v, 42, false}};
    for (const auto& [client, devID, allowed] : cases)
        EXPECT_EQ(Connect(client, devID, cmShared) >= 0, allowed) << client << " " << devID;
}

TEST_F(HostOperationsTest, FirstDeviceSkipsBlockedDevicesAndIgnoresTheAccessTable) {
    const std::int32_t a = Hookup(aciVantor, "/opt/a"), b = Hookup(aciVantor, "/opt/b");
    // The device found, or what stood in DevID when none.
    const auto first = [this](TUSBDevType type, std::int32_t client, TUSBDevMode mode) {
        std::int32_t devID = 55;
        return std::pair(Host().FirstDevice(type, client, mode, devID), devID);
    };
    EXPECT_EQ(first(dtBrisk, a, cmShared), std::pair(false, 55));
    EXPECT_EQ(first(dtFenwy, a, cmExclusive), std::pair(true, 0)); // ddSilabs column first
    ASSERT_GE(Connect(a, 0, cmExclusive), 0);
    EXPECT_EQ(first(dtFenwy, b, cmExclusive), std::pair(true, 2));
    EXPECT_EQ(first(dtCorra, -1, cmShared), std::pair(true, 3));
}

TEST_F(HostOperationsTest, BuffersCountElementsTimesElementSize) {
    const std::int32_t id = Connect(Hookup(aciVantor, "/opt/v"), 2, cmExclusive);
    TSafeByteArray words(10, 4), answer(3, 2);
    std::int32_t written = 0, read = 0, wTotal = 0, rTotal = 0;
    ASSERT_TRUE(Host().WriteBuffer(id, words, written) && Host().ReadBuffer(id, answer, read) &&
                Host().TrafficStat(id, wTotal, rTotal));
    EXPECT_EQ(
        std::tuple(written, Device(2)->Written.size(), read, answer.Data()[5], wTotal, rTotal),
        std::tuple(40, 40u, 6, 0x5A, 40, 6));
    EXPECT_FALSE(Host().WriteBuffer(99, words, written) || Host().ReadBuffer(99, answer, read) ||
                 Host().TrafficStat(99, wTotal, rTotal));
}

TEST_F(HostOperationsTest, DeviceInformation) {
    // clang-format off
    bool active = true; TUSBDevMode mode = cmShared; TUSBDevType type{}; TUSB_DeviceDriver driver{};
    std::uint16_t firmware = 0, fpga = 0; std::uint8_t hardware = 0;
    std::string link, friendly, serial, vidPid, guid, user;
    // clang-format on
    ASSERT_TRUE(Host().DevInfo(0, active, mode, link, friendly, serial, vidPid, guid, user, type,
                               driver, firmware, hardware, fpga));
    // Mode is not written by the host.
    EXPECT_EQ(std::tuple(active, mode, serial, type, driver, firmware),
              std::tuple(false, cmShared, "SILAB0001", dtFenwy, ddSilabs, 0x0204));

    TCapturedLog log;
    serial = "kept";
    EXPECT_FALSE(Host().DevInfo(9, active, mode, link, friendly, serial, vidPid, guid, user, type,
                                driver, firmware, hardware, fpga));
    EXPECT_EQ(serial, "kept");
    EXPECT_EQ(log.Lines, std::vector<std::string>{"TUSB_IFHostLocal.DevInfo -> False"});

    std::int32_t size = -1, unknown = -1;
    EXPECT_TRUE(Host().TotalBufferSize(0, size) && !Host().TotalBufferSize(9, unknown));
    EXPECT_EQ(std::pair(size, unknown), std::pair(512, 0));
}

TEST_F(HostOperationsTest, EnumerationOrderAndFailingSink) {
    const std::int32_t client = Hookup(aciVantor, "/opt/v");
    EXPECT_FALSE(Host().EnumDevices(client, dtFenwy)); // no sink
    auto sink = Sink(client, "v");
    ASSERT_TRUE(Host().EnumDevices(client, dtFenwy));
    EXPECT_THAT(Heard(), ElementsAre("EnumDevice 0 @v", "EnumDevice 2 @v"));

    // The operator's form: by DevType, then by column.
    auto own = std::make_shared<TRecordingSink>(Log, "w");
    ASSERT_TRUE(Host().EnumDevices(own));
    EXPECT_THAT(Heard(), ElementsAre("EnumDevice 1 @w", "EnumDevice 0 @w", "EnumDevice 2 @w",
                                     "EnumDevice 3 @w"));
    own->FailAt = 6; // the second device of this run
    EXPECT_THROW(Host().EnumDevices(own), EOleSysError);
    EXPECT_THAT(Heard(), ElementsAre("EnumDevice 1 @w", "EnumDevice 0 @w"));

    // Connections of every client and state, also of absent devices, once each.
    const std::int32_t c0 = Connect(client, 1, cmShared), c1 = Connect(client, 2, cmShared);
    ASSERT_TRUE(Host().DisconnectDevice(c0));
    ASSERT_TRUE(Host().EnumConnections(client));
    EXPECT_THAT(Heard(), ElementsAre("EnumConnection " + std::to_string(c0) + " @v",
                                     "EnumConnection " + std::to_string(c1) + " @v"));
    EXPECT_FALSE(Host().EnumConnections(std::shared_ptr<IZEMBHost>()));
    EXPECT_FALSE(Host().EnumConnections(77));
}

TEST_F(HostOperationsTest, ClientUnhookingDuringItsEnumerationIsSafe) {
    const std::int32_t client = Hookup(aciVantor, "/opt/v");
    Hookup(aciDostra, "/opt/d");
    Sink(client, "v")->DuringCall = [&] { Host().UnhookClientApp(client); };
    EXPECT_TRUE(Host().EnumApplications(client));
    EXPECT_EQ(Container().ClientApps.FindClientApp(client), nullptr);
}

TEST_F(HostOperationsTest, ConnectInfoOfAnUnpluggedDevice) {
    const std::int32_t client = Hookup(aciVantor, "/opt/v"), id = Connect(client, 2, cmShared);
    ASSERT_TRUE(Host().OpenDevice(id));
    std::int32_t devID = 0, owner = 0;
    bool connected = false, active = false;
    TUSBDevMode mode{};
    ASSERT_TRUE(Host().ConnectInfo(id, devID, owner, connected, active, mode));
    EXPECT_EQ(std::tuple(devID, connected, active), std::tuple(2, true, true));

    Unplug("FENWY0001");
    ASSERT_TRUE(Host().ConnectInfo(id, devID, owner, connected, active, mode));
    EXPECT_EQ(std::tuple(devID, owner, connected, active, mode),
              std::tuple(-1, client, false, false, cmShared));
    std::int32_t w = -1, r = -1;
    EXPECT_FALSE(Host().TrafficStat(id, w, r)); // device absent, counters still delivered
    EXPECT_EQ(w, 0);
    EXPECT_FALSE(Host().DisconnectDevice(id) || Host().WriteBuffer(id, TSafeByteArray(1, 1), w));
}

// What the handlers are handed, and the connections they drop: DeviceTreeTest, through the
// operator's tree.
TEST_F(HostOperationsTest, OwnSinkAnswersWhetherItFoundTheItemAndDropsItsHandlersErrors) {
    const std::int32_t client = Hookup(aciVantor, "/opt/v"), id = Connect(client, 2, cmShared);
    TZEMBHost own(Container());
    bool r = true;
    const auto answer = [&r](HRESULT status) { return std::pair(status, r); };
    EXPECT_EQ(answer(own.DeviceAdded(2, r)), std::pair(S_OK, false)); // no handler
    const auto ignore = [](auto&&...) {};
    own.OnEnumDevice = ignore;
    own.OnEnumConnection = ignore;
    own.OnEnumApplication = ignore;
    own.OnDeviceAdded = [](std::int32_t) { throw std::runtime_error("window gone"); };
    using A = std::pair<HRESULT, bool>;
    // Braced lists run left to right.
    EXPECT_EQ(
        (std::vector{answer(own.EnumDevice(2, r)), answer(own.EnumDevice(9, r)),
                     answer(own.EnumConnection(id, r)), answer(own.EnumApplication(client, r)),
                     answer(own.DeviceAdded(2, r))}),
        (std::vector<A>{{S_OK, true}, {S_OK, false}, {S_OK, true}, {S_OK, true}, {S_OK, false}}));
    own.OnEnumApplication = [](auto&&...) { throw std::runtime_error("tree gone"); };
    EXPECT_TRUE(FAILED(own.EnumApplication(client, r)));
}

} // namespace
