// SPDX-License-Identifier: MIT
// The simulated device's protocol engine, its device file and its control requests.
#include "SimLinkDevice.h"

#include "SimControl.h"

#include <gtest/gtest.h>

namespace {
using Bytes = std::vector<std::uint8_t>;
using Clock = TSimLinkDevice::Clock;
using namespace std::chrono_literals;

TSimDeviceConfig Config() {
    TSimDeviceConfig c;
    std::tie(c.Name, c.Firmware, c.RamSize, c.SerialNumber, c.HardwareRevision, c.FpgaRevision) =
        std::tuple("d", 0x0204, 0x0900, 123456, 7, 0x1234);
    return c;
}

// Link commands are answered from the settings (firmware minor, then major; the serial's four
// bytes low first); everything else comes back unchanged, a reply code too, and a command is
// one byte alone.
TEST(SimLinkReplyTest, LinkCommandsAnsweredEverythingElseEchoed) {
    // clang-format off
    const std::pair<Bytes, Bytes> cases[] = {
        {{0x09}, {0x08, 0x00, 0x09}}, {{0x13}, {0x14, 0x04, 0x02}}, {{0x1C}, {0x1D}}, {{}, {}},
        {{0x18}, {0x19, 0x40, 0xE2, 0x01, 0x00, 0x07, 0x34, 0x12}}, {{0x08}, {0x08}},
        {{0x12, 0x00, 0xFF}, {0x12, 0x00, 0xFF}}, {{0x09, 0x09}, {0x09, 0x09}}};
    // clang-format on
    for (const auto& [written, reply] : cases)
        EXPECT_EQ(SimLinkReply(Config(), written), reply) << written.size();
}

// A read takes the rest of the first reply, not the next one.
TEST(SimLinkDeviceTest, RepliesArePacketsTakenInOrder) {
    TSimLinkDevice d(Config());
    const auto now = Clock::now();
    EXPECT_EQ(d.HostWrite(Bytes{0x09}, now), TSimTransfer::Done);
    EXPECT_EQ(d.HostWrite(Bytes{0xAA, 0xBB, 0xCC}, now), TSimTransfer::Done);
    std::vector<Bytes> reads;
    for (const std::size_t size : {2, 64, 64, 64})
        EXPECT_EQ(d.HostRead(size, reads.emplace_back(), now), TSimTransfer::Done);
    EXPECT_EQ(reads, (std::vector<Bytes>{{0x08, 0x00}, {0x09}, {0xAA, 0xBB, 0xCC}, {}}));
    EXPECT_EQ(std::pair(d.BytesWritten(), d.BytesRead()), std::pair(4ul, 6ul));
}

TEST(SimLinkDeviceTest, ReplyFaultsForCountCommandsThenHealthy) {
    TSimLinkDevice d(Config());
    const auto now = Clock::now();
    const auto ask = [&](std::uint8_t command) {
        Bytes out;
        EXPECT_EQ(d.HostWrite(Bytes{command}, now), TSimTransfer::Done);
        d.HostRead(64, out, now);
        return out;
    };
    d.SetFault({TSimFaultKind::ShortReply, 2, 0});
    EXPECT_EQ(ask(0x18), (Bytes{0x19, 0x40, 0xE2, 0x01}));
    EXPECT_TRUE(ask(0x1C).empty()); // one byte short of one: nothing
    EXPECT_EQ(d.Fault().Kind, TSimFaultKind::None);
    EXPECT_EQ(ask(0x1C), Bytes{0x1D});

    d.SetFault({TSimFaultKind::WrongReplyCode, 1, 0});
    // Reads do not spend a reply fault.
    Bytes out;
    EXPECT_EQ(d.HostRead(64, out, now), TSimTransfer::Done);
    EXPECT_EQ(ask(0x13), (Bytes{0x94, 0x04, 0x02}));
    EXPECT_EQ(d.Fault().Kind, TSimFaultKind::None);

    d.SetFault({TSimFaultKind::NoReply, 0, 0}); // until cleared
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(ask(0x09).empty());
    d.ClearFault();
    EXPECT_EQ(ask(0x09).size(), 3u);
}

// Failing transfers and an unplug in mid-transfer, seen through the real transports: SimFaultTest.
TEST(SimLinkDeviceTest, SlowReplyIsReadyAfterItsDelay) {
    TSimLinkDevice d(Config());
    const auto now = Clock::now();
    Bytes out;
    d.SetFault({TSimFaultKind::SlowReply, 1, 250});
    d.HostWrite(Bytes{0x13}, now);
    EXPECT_EQ(d.NextReplyAt(), std::optional(now + 250ms));
    d.HostRead(64, out, now + 249ms);
    EXPECT_EQ(std::tuple(d.ReplyReady(now + 249ms), out, d.ReplyReady(now + 250ms)),
              std::tuple(false, Bytes{}, true));
    EXPECT_FALSE(d.TakeReadyReply(now + 100ms, out));
    EXPECT_TRUE(d.TakeReadyReply(now + 250ms, out) && out == (Bytes{0x14, 0x04, 0x02}));
}

// Driver and fault names: through the device file and the control line below. The interface
// GUID and LinkName of a device: tests/integration/usb.
TEST(SimDeviceFileTest, ReadsEveryKey) {
    std::string error;
    // Comments, blanks and quotes are the profile file's (tests/unit/base).
    const auto devices = ParseSimDeviceFile(
        "[Box1]\nDriver=WINUSB_SILABS\nVendorId=0x10C4\nProductId=ea61\nInstance=ABC123\n"
        "FriendlyName=My box\nDescription=Desc\nFirmware=1.50\nRamSize=$900\n"
        "InterfaceGuid={0ceaff08-b1fd-4d12-b748-353077277f7e}\nSerialNumber=4294967295\n"
        "HardwareRevision=255\nFpgaRevision=0xFFFF\nPlugged=0\n"
        "[box2]\nDriver=silabs\nVendorId=1\nProductId=2\n",
        error);
    ASSERT_TRUE(devices) << error;
    ASSERT_EQ(devices->size(), 2u);
    const auto& b = (*devices)[0];
    EXPECT_EQ(std::tie(b.Name, b.Driver, b.Instance, b.FriendlyName, b.Description, b.Plugged),
              std::tuple("Box1", TSimDriver::WinUSB_Silabs, "ABC123", "My box", "Desc", false));
    // Firmware 1.50 is 0x0132, shown as 01.50.
    EXPECT_EQ(std::tie(b.VendorId, b.ProductId, b.Firmware, b.RamSize, b.SerialNumber,
                       b.HardwareRevision, b.FpgaRevision, b.InterfaceGuid),
              std::tuple(0x10C4, 0xEA61, 0x0132, 0x900, 4294967295u, 255, 0xFFFF,
                         "{0CEAFF08-B1FD-4D12-B748-353077277F7E}"));
    const auto& d = (*devices)[1];
    EXPECT_EQ(std::tuple(d.Driver, d.Plugged, d.Firmware, d.Instance),
              std::tuple(TSimDriver::Silabs, true, 0x0204, ""));
}

TEST(SimDeviceFileTest, MalformedFilesAreRefusedWithTheSectionAndKey) {
    const std::string b = "[b]\nDriver=winusb_st\nVendorId=0483\nProductId=5740\n";
    // clang-format off
    const struct { std::string text, message; } cases[] = {
        {"", "no device described"},
        {"[b]\nVendorId=1\nProductId=2\n", "device [b], key Driver: missing"},
        {"[b]\nDriver=usbserial\nVendorId=1\nProductId=2\n", "key Driver: 'usbserial' is not"},
        {b + "Colour=red\n", "device [b], key Colour: unknown key"},
        {"[b]\nDriver=winusb_st\nVendorId=12345\nProductId=1\n", "key VendorId: '12345'"},
        {"[b]\nDriver=winusb_st\nVendorId=1\n", "key ProductId: missing"},
        {b + "Firmware=2.345\n", "key Firmware: '2.345'"}, {b + "Plugged=yes\n", "key Plugged"},
        {b + "Firmware=256.1\n", "key Firmware"}, {b + "Firmware=0x10000\n", "key Firmware"},
        {b + "SerialNumber=4294967296\n", "key SerialNumber"}, {b + "RamSize=-1\n", "key RamSize"},
        {b + "HardwareRevision=256\n", "key HardwareRevision"},
        {b + "Instance=a#b\n", "key Instance"}, {b + "Instance=a b\n", "key Instance"},
        {b + "InterfaceGuid={1234}\n", "key InterfaceGuid"},
        {b + "[B]\nDriver=silabs\nVendorId=1\nProductId=1\n", "described twice"},
        {"[a b]\nDriver=silabs\nVendorId=1\nProductId=1\n", "device [a b]: a device name"}};
    // clang-format on
    for (const auto& c : cases) {
        std::string error;
        EXPECT_TRUE(!ParseSimDeviceFile(c.text, error) &&
                    error.find(c.message) != std::string::npos)
            << c.text << " / " << error << " / " << c.message;
    }
}

TEST(SimControlLineTest, RequestsAndTheirArguments) {
    using V = TSimControlCommand::TVerb;
    using K = TSimFaultKind;
    std::string error;
    // clang-format off
    const struct { const char* Line; V Verb; const char* Name; K Kind; unsigned Ms, Count; }
        cases[] = {
        {"  fault box  slow 250 3\r", V::Fault, "box", K::SlowReply, 250, 3},
        {"fault box fail", V::Fault, "box", K::TransferFails, 0, 0},
        {"list", V::List, "", K::None, 0, 0}, {"clear x", V::Clear, "x", K::None, 0, 0},
        {"fault box wrongcode", V::Fault, "box", K::WrongReplyCode, 0, 0},
        {"unplug box", V::Unplug, "box", K::None, 0, 0}};
    // clang-format on
    for (const auto& c : cases) {
        const auto r = ParseSimControlLine(c.Line, error);
        ASSERT_TRUE(r) << c.Line << ": " << error;
        EXPECT_EQ(std::tuple(r->Verb, r->Name, r->Fault.Kind, r->Fault.DelayMs, r->Fault.Count),
                  std::tuple(c.Verb, c.Name, c.Kind, c.Ms, c.Count))
            << c.Line;
    }

    for (const char* bad :
         {"", "   ", "list all", "plug", "plug a b", "fault a", "fault a none", "fault a slow",
          "fault a slow x", "fault a slow 600001", "fault a short -1", "fault a short 1 2",
          "fault a short 99999999999", "reboot a", "PLUG a", "fault a Short"})
        EXPECT_TRUE(!ParseSimControlLine(bad, error) && !error.empty()) << bad;
}
} // namespace
