// SPDX-License-Identifier: MIT
// The link device model and protocol over an in-process transport (FakeLinkDevice.h).
#include "usb/LinkDevice.h"

#include "Captures.h"
#include "FakeLinkDevice.h"
#include "base/Settings.h"
#include "usb/DeviceGrid.h"

#include <gtest/gtest.h>
#include <optional>

namespace {

using Bytes = std::vector<std::uint8_t>;

const std::string Guid0 = "{CE2511FC-12E2-4916-A004-0C43A172D7D6}";

std::string PathWithInstance(const std::string& instance) {
    return "usb#vid_1234&pid_5678#" + instance + "#" + Guid0;
}

// The names themselves and the firmware's text: in the operator's tree (tests/unit/server).
TEST(DeviceModel, EnumerationsOutsideTheListStayReadableAndAreReadInTheirCase) {
    EXPECT_EQ(ToText(static_cast<TUSBDevType>(9)), "9");
    TUSB_DeviceDriver driver{};
    EXPECT_TRUE(FromText("ddWinUSB_Silabs", driver) && driver == ddWinUSB_Silabs);
    EXPECT_FALSE(FromText("ddwinusb_silabs", driver));
}

TEST(DeviceModel, GridGuidsAndTheirByteLayout) {
    const std::tuple<TUSBDevType, TUSB_DeviceDriver, const char*> cells[] = {
        {dtNotRecognized, ddSilabs, "{CE2511FC-12E2-4916-A004-0C43A172D7D6}"},
        {dtNotRecognized, ddWinUSB_Silabs, "{8BB2450C-43E0-4B8A-B573-AC056D538606}"},
        {dtNotRecognized, ddWinUSB_ST, "{0CEAFF08-B1FD-4D12-B748-353077277F7E}"},
        {dtBrisk, ddSilabs, "{1EA50ECA-CCB4-46A0-A79B-C5AE3C4BC250}"},
        {dtBrisk, ddWinUSB_Silabs, "{A33E7016-4D22-494A-BC39-660469003D0D}"},
        {dtBrisk, ddWinUSB_ST, "{7AAB3C16-2F2D-4ED8-AB88-241261450CC6}"},
    };
    for (const auto& [row, column, guid] : cells)
        EXPECT_EQ(InterfaceGUIDOf(row, column).ToString(), guid);
    for (auto row : {dtMirel, dtFenwy, dtCorra})
        for (auto column : {ddSilabs, ddWinUSB_Silabs, ddWinUSB_ST})
            EXPECT_EQ(InterfaceGUIDOf(row, column), InterfaceGUIDOf(dtNotRecognized, column));
    EXPECT_EQ(InterfaceGUIDOf(dtNotRecognized, ddSilabs).Bytes(),
              (std::array<std::uint8_t, 16>{0xFC, 0x11, 0x25, 0xCE, 0xE2, 0x12, 0x16, 0x49, 0xA0,
                                            0x04, 0x0C, 0x43, 0xA1, 0x72, 0xD7, 0xD6}));
    EXPECT_EQ(TGUID::FromString("{ce2511fc-12e2-4916-a004-0c43a172d7d6}"),
              InterfaceGUIDOf(dtNotRecognized, ddSilabs));
    for (const char* bad :
         {"CE2511FC-12E2-4916-A004-0C43A172D7D6", "{CE2511FC-12E2-4916-A004+0C43A172D7D6}",
          "{CE2511FC-12E2-4916-A004-0C43A172D7DG}"})
        EXPECT_FALSE(TGUID::FromString(bad)) << bad;
}

// One link command against one reply (none: the write fails): its result, the fields it
// leaves and the one line it logs. Every field starts as 7, 0x0777, "x", 3, 3, so a field a
// command leaves alone keeps that value.
// clang-format off
struct TCommandCase {
    bool (TUSB_IFDeviceLocal::*Command)(); std::optional<Bytes> Reply; bool ReplyOk, Ok;
    std::int32_t Buffer; std::uint16_t Firmware; const char* Serial; std::uint8_t Hardware;
    std::uint16_t Fpga; const char* Log;
};
constexpr auto Ram = &TUSB_IFDeviceLocal::GetRAMTotal, Info = &TUSB_IFDeviceLocal::GetDevInfo,
    Ver = &TUSB_IFDeviceLocal::GetFirmwareVersion, Eep = &TUSB_IFDeviceLocal::SetEnableEEPWrite;
const std::optional<Bytes> WriteFails;
const TCommandCase CommandCases[] = {
    // The RAM size is the reply less one page, 0 below it; a failure leaves one hundred.
    {Ram, Bytes{0x08, 0x00, 0x09}, true, true, 2048, 0x0777, "x", 3, 3, ""},
    {Ram, Bytes{0x08, 0x00, 0x01}, true, true, 0, 0x0777, "x", 3, 3, ""},
    {Ram, Bytes{0x08, 0x10, 0x00}, true, true, 0, 0x0777, "x", 3, 3, ""},
    {Ram, Bytes{0x08, 0xFF, 0xFF}, true, true, 65535 - 256, 0x0777, "x", 3, 3, ""},
    {Ram, WriteFails, true, false, 100, 0x0777, "x", 3, 3, "GetRAMTotal. WriteBuffer(TX_RAM_TOTAL_MSG) fail"},
    {Ram, Bytes{0x08, 0x00}, true, false, 100, 0x0777, "x", 3, 3, "GetRAMTotal. ReadBuffer(@msg, 3)) fail"},
    {Ram, Bytes{0x09, 0x00, 0x09}, true, false, 100, 0x0777, "x", 3, 3, "GetRAMTotal. ReadBuffer(msg[0] <> RX_RAM_TOTAL_MSG) fail"},
    // A transport failure although every byte came.
    {Ram, Bytes{0x08, 0x00, 0x09}, false, false, 100, 0x0777, "x", 3, 3, "GetRAMTotal. ReadBuffer(@msg, 3)) fail"},
    // The firmware version is minor, then major; a failure keeps the old one.
    {Ver, Bytes{0x14, 0x04, 0x02}, true, true, 7, 0x0204, "x", 3, 3, ""},
    {Ver, Bytes{0x14, 0x04}, true, false, 7, 0x0777, "x", 3, 3, "GetFirmwareVersion. ReadBuffer(@msg, 3) fail"},
    {Ver, Bytes{0x08, 0x05, 0x03}, true, false, 7, 0x0777, "x", 3, 3, "GetFirmwareVersion. ReadBuffer(msg[0] <> RX_GET_VER_ACK_MSG) fail"},
    {Ver, WriteFails, true, false, 7, 0x0777, "x", 3, 3, "GetFirmwareVersion. WriteBuffer(TX_GET_VER_MSG) fail"},
    // All four serial bytes are unsigned; a failure resets the fields.
    {Info, Bytes{0x19, 0x40, 0xE2, 0x01, 0x00, 0x07, 0x34, 0x12}, true, true, 7, 0x0777, "123456", 7, 0x1234, ""},
    {Info, Bytes{0x19, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x00, 0x00}, true, true, 7, 0x0777, "4294967295", 1, 0, ""},
    {Info, Bytes{0x19, 0x40, 0xE2, 0x01, 0x00, 0x07, 0x34}, true, false, 7, 0x0777, "0", 0, 0, "GetDevInfo. ReadBuffer(@msg, 8) fail"},
    {Info, Bytes{0x18, 0x40, 0xE2, 0x01, 0x00, 0x07, 0x34, 0x12}, true, false, 7, 0x0777, "0", 0, 0, "GetDevInfo. ReadBuffer(msg[0] <> RX_GET_DEV_MSG) fail"},
    {Info, WriteFails, true, false, 7, 0x0777, "0", 0, 0, "GetDevInfo. WriteBuffer(TX_GET_DEV_MSG) fail"},
    {Eep, Bytes{0x1D}, true, true, 7, 0x0777, "x", 3, 3, ""},
    {Eep, Bytes{}, true, false, 7, 0x0777, "x", 3, 3, "SetEnableEEPWrite. ReadBuffer(@msg, 1) fail"},
    {Eep, Bytes{0x1C}, true, false, 7, 0x0777, "x", 3, 3, "SetEnableEEPWrite. ReadBuffer(msg[0] <> RX_ENABLE_EEP_WRITE_ACK_MSG) fail"},
    {Eep, WriteFails, true, false, 7, 0x0777, "x", 3, 3, "SetEnableEEPWrite. WriteBuffer(TX_ENABLE_EEP_WRITE_MSG) fail"},
};
// clang-format on

TEST(LinkProtocol, EveryCommandItsReplyAndItsFailures) {
    const auto sent = [](bool (TUSB_IFDeviceLocal::*command)()) -> std::uint8_t {
        return command == Ram ? 0x09 : command == Ver ? 0x13 : command == Info ? 0x18 : 0x1C;
    };
    for (const TCommandCase& c : CommandCases) {
        SCOPED_TRACE(c.Log);
        TCapturedLog log(std::nullopt, true);
        TFakeLinkDevice d;
        d.OpenDevice();
        auto fields = std::tie(d.TotalBufferSize, d.Firmware, d.SerialNumber,
                               d.App_ID_Hardware_Revision, d.Meas_App_FPGA_Rev);
        fields = std::tuple(7, 0x0777, "x", 3, 3);
        d.writeSucceeds = c.Reply.has_value();
        if (c.Reply)
            d.Reply(*c.Reply, c.ReplyOk);
        EXPECT_EQ((d.*c.Command)(), c.Ok);
        EXPECT_EQ(fields, std::tuple(c.Buffer, c.Firmware, c.Serial, c.Hardware, c.Fpga));
        EXPECT_EQ(log.Lines,
                  *c.Log ? std::vector{"RUVAzerComm|TUSB_IFDeviceLocal." + std::string(c.Log)}
                         : std::vector<std::string>{});
        EXPECT_EQ(d.written,
                  c.Reply ? std::vector<Bytes>{{sent(c.Command)}} : std::vector<Bytes>{});
    }
}

class Identification : public ::testing::Test {
protected:
    ~Identification() override { ZEMBSettings().EnableEEPWrite = false; }
    TCapturedLog log;
};

const Bytes Ram9 = {0x08, 0x00, 0x09};
const auto Fw = [](std::uint16_t f) { return Bytes{0x14, std::uint8_t(f), std::uint8_t(f >> 8)}; };

// How the path is split, also one without enough hashes: Brisk boxes are known by their exact
// vendor and product text and never opened; the fields of an earlier identification go, also
// on the third device, which does not open.
TEST_F(Identification, PathsAreSplitIntoTheirParts) {
    // clang-format off
    const struct { std::string Path; TUSBDevType Type; const char* VidPid; std::string Guid; } cases[] = {
        {"usb#vid_10c4&pid_83cc#0071234567890#" + Guid0, dtBrisk, "vid_10c4&pid_83cc", Guid0},
        {"usb#VID_10C4&PID_83CC#0071234567890#" + Guid0, dtNotRecognized, "VID_10C4&PID_83CC", Guid0},
        {PathWithInstance("007AB1234"), dtNotRecognized, "vid_1234&pid_5678", Guid0},
        {"usb#vid_1234", dtNotRecognized, "", "vid_1234"},
        {"usb#vid_1234&pid_5678#007", dtNotRecognized, "vid_1234&pid_5678", "usb#vid_1234&pid_5678#007"},
        {"", dtNotRecognized, "", ""}, {"#", dtNotRecognized, "", ""}, {"##", dtNotRecognized, "", "##"},
        {"###", dtNotRecognized, "", ""}, {"no hashes at all", dtNotRecognized, "", "no hashes at all"},
    };
    // clang-format on
    for (const auto& c : cases) {
        TFakeLinkDevice d;
        d.openSucceeds = &c != &cases[2];
        d.Reply(Ram9);
        d.Reply(Fw(0x0202));
        d.SerialNumber = "old";
        d.App_ID_Hardware_Revision = 5;
        d.Identify(c.Path);
        EXPECT_EQ(std::tuple(d.DevType, d.VidPid, d.GUID_, d.SerialNumber, d.LinkName,
                             d.App_ID_Hardware_Revision, d.opens, d.written.size()),
                  std::tuple(c.Type, c.VidPid, c.Guid, "", c.Path, 0, c.Type == dtBrisk ? 0 : 1,
                             c.Type == dtBrisk || !d.openSucceeds ? 0u : 2u))
            << c.Path;
    }
}

using Packets = std::vector<Bytes>;
const Bytes Info123456 = {0x19, 0x40, 0xE2, 0x01, 0x00, 0x07, 0x34, 0x12};
const Bytes Info1 = {0x19, 0x01, 0, 0, 0, 0, 0, 0};
// The commands identification sends: RAM size and firmware, then device information, then
// the EEPROM write enable.
const Packets Sent2 = {{0x09}, {0x13}}, Sent3 = {{0x09}, {0x13}, {0x18}},
              Sent4 = {{0x09}, {0x13}, {0x18}, {0x1C}};

// One row per identification rule: the replies the box gives, what identification makes of
// the instance text of its path, and the commands it was sent.
// clang-format off
struct TIdentifyCase {
    const char* Instance; Packets Replies; bool EnableEEPWrite; TUSBDevType Type; const char* Serial;
    std::uint16_t Firmware; Packets Written; std::uint8_t Hardware = 0;
};
const TIdentifyCase IdentifyCases[] = {
    // Below 2.00 the product code and the serial are read from the start of the instance.
    {"007AB1234", {Ram9, Fw(0x0150)}, false, dtFenwy, "AB1234", 0x0150, Sent2},
    {"07", {Ram9, Fw(0x0100)}, false, dtFenwy, "", 0x0100, Sent2},
    // 1.00 and 2.00 as the old boxes report them (0x1000, 0x2000) are normalised.
    {"008123456789", {Ram9, Fw(0x1000)}, false, dtMirel, "123456789", 0x0100, Sent2},
    {"ABCDEFGHI007", {Ram9, Fw(0x2000)}, false, dtFenwy, "DEFGHI007", 0x0200, Sent2},
    // From 2.00 the code is at position ten.
    {"ABCDEFGHI008xyz", {Ram9, Fw(0x0201)}, false, dtMirel, "DEFGHI008", 0x0201, Sent2},
    // 2.02 and 2.03 have no serial; from 2.04 it comes from the device information.
    {"ABCDEFGHI007", {Ram9, Fw(0x0202)}, false, dtFenwy, "", 0x0202, Sent2},
    {"ABCDEFGHI007", {Ram9, Fw(0x0203)}, true, dtFenwy, "", 0x0203, Sent2},
    {"ABCDEFGHI008", {Ram9, Fw(0x0204), Info123456}, false, dtMirel, "123456", 0x0204, Sent3, 7},
    {"ABCDEFGHI007", {Ram9, Fw(0x0300), {0x19, 0x40}}, false, dtFenwy, "0", 0x0300, Sent3},
    // EEPROM writes are enabled only with the setting.
    {"ABCDEFGHI007", {Ram9, Fw(0x0204), Info1, {0x1D}}, true, dtFenwy, "1", 0x0204, Sent4},
    // Product codes that are no number, or neither 7 nor 8, recognise nothing.
    {"ABCDEFGHI", {Ram9, Fw(0x0300), Info1}, false, dtNotRecognized, "1", 0x0300, Sent3},
    {"ABCDEFGHIx07", {Ram9, Fw(0x0300), Info1}, false, dtNotRecognized, "1", 0x0300, Sent3},
    {"ABCDEFGHI009", {Ram9, Fw(0x0300), Info1}, false, dtNotRecognized, "1", 0x0300, Sent3},
    {"", {Ram9, Fw(0x0300), Info1}, false, dtNotRecognized, "1", 0x0300, Sent3},
    // A failed firmware reply leaves the device unrecognised; a failed RAM size stops first.
    {"007AB1234", {Ram9, {0x15, 0x00, 0x01}}, false, dtNotRecognized, "", 0, Sent2},
    {"007AB1234", {{0x08, 0x00}}, false, dtNotRecognized, "", 0, {{0x09}}},
};
// clang-format on

// The RAM size and the failures of each command: LinkProtocol.
TEST_F(Identification, EveryRuleOfFirmwareProductCodeAndSerial) {
    for (const TIdentifyCase& c : IdentifyCases) {
        SCOPED_TRACE(std::string(c.Instance) + " firmware " + FirmwareText(c.Firmware));
        ZEMBSettings().EnableEEPWrite = c.EnableEEPWrite;
        TFakeLinkDevice d;
        for (const Bytes& reply : c.Replies)
            d.Reply(reply);
        d.Identify(PathWithInstance(c.Instance));
        EXPECT_EQ(std::tuple(d.DevType, d.SerialNumber, d.Firmware, d.App_ID_Hardware_Revision,
                             d.written, d.Active(), d.closes),
                  std::tuple(c.Type, c.Serial, c.Firmware, c.Hardware, c.Written, false, 1));
    }
}

// Moving a device between cells: the grid's sorting, tests/integration/usb.
TEST(DeviceCollection, ItemsDeletionAndReopenStayInsideTheCollection) {
    TUSB_IFDeviceCollection collection([] { return std::make_unique<TFakeLinkDevice>(); },
                                       InterfaceGUIDOf(dtNotRecognized, ddSilabs));
    EXPECT_EQ(collection.Items(0), nullptr);
    const auto add = [&] { return static_cast<TFakeLinkDevice*>(collection.Add()); };
    auto *a = add(), *b = add(), *c = add();
    EXPECT_EQ(std::tuple(collection.Items(0), collection.Items(-1), collection.Items(3)),
              std::tuple(a, nullptr, nullptr));
    EXPECT_EQ(a->Collection(), &collection);
    TFakeLinkDevice stranger;
    EXPECT_FALSE(collection.Delete(&stranger));
    // Reopening opens exactly what was open.
    a->OpenDevice();
    c->OpenDevice();
    collection.CloseOpenDevices();
    EXPECT_FALSE(a->Active() || b->Active() || c->Active());
    collection.ReopenClosedDevices();
    EXPECT_EQ(std::tuple(a->Active(), b->Active(), c->Active()), std::tuple(true, false, true));
    // A device that leaves the collection is not reopened from there any more.
    collection.CloseOpenDevices();
    auto moved = collection.Extract(c);
    collection.ReopenClosedDevices();
    EXPECT_EQ(std::tuple(a->Active(), moved->Active()), std::tuple(true, false));
    EXPECT_TRUE(collection.Delete(b) && collection.Delete(a) && collection.Count() == 0);
}

// Destroying an open device closes its descriptor; a close that throws only leaves a line.
// An exception from the transport passes through identification with the device closed.
TEST_F(Identification, ThrowingTransportsLeaveTheDeviceClosed) {
    auto device = std::make_unique<TFakeLinkDevice>();
    device->OpenDevice();
    const int fd = device->Handle.Get();
    ASSERT_GE(fd, 0);
    device.reset();
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
    ::testing::internal::CaptureStderr();
    {
        TFakeLinkDevice throwing;
        throwing.OpenDevice();
        throwing.throwOnClose = true;
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "TUSB_IFDeviceBase.Destroy: CloseDevice\n");
    TFakeLinkDevice throwing;
    throwing.throwOnRead = true;
    EXPECT_THROW(throwing.Identify(PathWithInstance("007AB1234")), std::runtime_error);
    EXPECT_EQ(std::pair(throwing.Active(), throwing.closes), std::pair(false, 1));
}

// Before each command, reads go on up to the first empty one, and stop after DrainMaxReads on
// a device that keeps sending; the command goes out and reads its reply either way.
TEST(InputDrain, ReadsUntilNothingComesAndNoLongerThanItsBound) {
    for (const auto& [pending, reads] :
         {std::pair{0, 1}, std::pair{2, 3}, std::pair{1000, DrainMaxReads}}) {
        SCOPED_TRACE(pending);
        TFakeLinkDevice device;
        ASSERT_TRUE(device.OpenDevice());
        device.pendingReads = pending;
        device.Reply({RX_RAM_TOTAL_MSG, 0x00, 0x09});
        EXPECT_TRUE(device.GetRAMTotal());
        EXPECT_EQ(std::pair(device.drainReads, device.written.size()),
                  std::pair(reads, std::size_t{1}));
    }
}

} // namespace
