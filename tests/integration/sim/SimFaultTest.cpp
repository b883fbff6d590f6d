// SPDX-License-Identifier: MIT
// Each fault of a simulated device, seen through the device layer's real transports: the
// result and the log lines the device layer gives for it (run under umockdev-wrapper).
#include "Captures.h"
#include "SimTestbed.h"
#include "TestProcess.h"
#include "base/DebugLog.h"
#include "usb/LibusbDevice.h"
#include "usb/LinkDevice.h"
#include "usb/PipeFileDevice.h"

#include <chrono>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <mutex>
#include <random>

namespace {
using Bytes = std::vector<std::uint8_t>;
using testing::ElementsAre;

constexpr unsigned kTransferTimeoutMs = 300;
const std::string kUsbRead = "TUSB_IFDeviceWinUSB_Generic.ReadBuffer. ";
const std::string kRamFails = "TUSB_IFDeviceLocal.GetRAMTotal. ReadBuffer(@msg, 3)) fail";
const std::vector<std::string> kUsbRamFails = {kUsbRead + "BytesToRead: 3", kUsbRead + "Failed: 3",
                                               kRamFails};

// "usb" on libusb, "pipe" on pipe files.
// clang-format off
TSimDeviceConfig Config(const std::string& name) {
    const bool usb = name == "usb";
    return {.Name = name, .Driver = usb ? TSimDriver::WinUSB_ST : TSimDriver::Silabs,
            .VendorId = 0x0483, .ProductId = 0xa7f1, .Instance = usb ? "FWY000042007" : "PIP000042007",
            .FriendlyName = {}, .Description = {}, .InterfaceGuid = {}, .Firmware = 0x0204,
            .RamSize = 0x0900, .SerialNumber = 123456, .HardwareRevision = 7, .FpgaRevision = 0x1234};
}
// clang-format on

// One simulated device of each kind, opened through its transport; log lines captured.
class SimFaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(TSimTestbed::PreloadActive()) << "run under umockdev-wrapper";
        SetWinUsbTransferTimeoutMs(kTransferTimeoutMs);
        SetSilabsTransferTimeoutMs(kTransferTimeoutMs);
        for (const char* name : {"usb", "pipe"}) {
            ASSERT_TRUE(bed_.AddDevice(Config(name)));
            Link(name).LinkName = bed_.LinkName(name);
            ASSERT_TRUE(Link(name).OpenDevice());
        }
    }
    void TearDown() override {
        usb_.CloseDevice();
        pipe_.CloseDevice();
        SetWinUsbTransferTimeoutMs(5000);
        SetSilabsTransferTimeoutMs(5000);
    }
    void Fault(const std::string& name, TSimFaultKind kind, unsigned count = 0, unsigned ms = 0) {
        bed_.Device(name)->SetFault({kind, count, ms});
    }
    TUSB_IFDeviceLocal& Link(const std::string& name) {
        return name == "usb" ? static_cast<TUSB_IFDeviceLocal&>(usb_) : pipe_;
    }

    TSimTestbed bed_;
    TUSB_IFDeviceWinUSB_ST usb_;
    TUSB_IFDeviceSilabs pipe_;
    TCapturedLog log_{"RUVAzerComm"};
    std::vector<std::string>& lines_ = log_.Lines;
};

// One fault for one command on each transport: the command fails with the lines the device
// layer logs, then the fault's count is spent and the same command succeeds. Wrong reply codes
// are the protocol's alone (tests/unit/usb); failed libusb transfers: LibusbRetries below.
TEST_F(SimFaultTest, EachFaultFailsItsCommandWithItsLines) {
    const std::string info = "TUSB_IFDeviceLocal.GetDevInfo. ReadBuffer(@msg, 8) fail";
    using L = TUSB_IFDeviceLocal;
    // clang-format off
    const struct { const char* Device; TSimFaultKind Kind; bool (L::*Command)();
                   std::vector<std::string> Lines; } cases[] = {
        {"usb", TSimFaultKind::NoReply, &L::GetRAMTotal, kUsbRamFails},
        {"pipe", TSimFaultKind::NoReply, &L::GetRAMTotal, {kRamFails}},
        // Half of the reply comes: no retry, so no BytesToRead line.
        {"usb", TSimFaultKind::ShortReply, &L::GetDevInfo, {kUsbRead + "Failed: 8", info}},
        {"pipe", TSimFaultKind::ShortReply, &L::GetDevInfo, {info}},
        // Pipe files drop the command.
        {"pipe", TSimFaultKind::TransferFails, &L::GetRAMTotal, {kRamFails}},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Device) + " " + c.Lines.back());
        lines_.clear();
        Fault(c.Device, c.Kind, 1);
        EXPECT_FALSE((Link(c.Device).*c.Command)());
        EXPECT_EQ(lines_, c.Lines);
        EXPECT_TRUE((Link(c.Device).*c.Command)());
    }
}

// A failed transfer that moved nothing is retried once after 200 ms, silently; a second
// failure fails a write, dumped in hex, and a read retry says how much it still wants.
TEST_F(SimFaultTest, LibusbRetriesAFailedTransferOnce) {
    const Bytes out = {0x1C, 0x00, 0xFF};
    std::uint32_t moved = 7;
    Fault("usb", TSimFaultKind::TransferFails, 2);
    EXPECT_FALSE(usb_.WriteBuffer(out.data(), 3, moved));
    EXPECT_EQ(moved, 0u);
    const std::uint8_t command = 0x18;
    Fault("usb", TSimFaultKind::TransferFails, 1);
    ASSERT_TRUE(usb_.WriteBuffer(&command, 1, moved));
    Fault("usb", TSimFaultKind::TransferFails, 1);
    Bytes reply(8);
    EXPECT_TRUE(usb_.ReadBuffer(reply.data(), 8, moved));
    EXPECT_EQ(std::pair(moved, reply), std::pair(8u, Bytes{0x19, 0x40, 0xE2, 1, 0, 7, 0x34, 0x12}));
    EXPECT_THAT(lines_, ElementsAre("TUSB_IFDeviceWinUSB_Generic.WriteBuffer. Fail: 1C 00 FF",
                                    "TUSB_IFDeviceWinUSB_Generic.ReadBuffer. BytesToRead: 8"));
}

// Delays are far from the time-outs on either side, so a busy machine does not change the
// outcome.
TEST_F(SimFaultTest, SlowReplyWithinAndBeyondTheTimeout) {
    constexpr unsigned kLate = 1500; // after the read and its retry have given up
    Fault("usb", TSimFaultKind::SlowReply, 1, 30);
    EXPECT_TRUE(usb_.GetRAMTotal() && lines_.empty());
    Fault("usb", TSimFaultKind::SlowReply, 1, kLate);
    EXPECT_FALSE(usb_.GetRAMTotal());
    EXPECT_EQ(lines_, kUsbRamFails);
    // The late reply is still there for the next read, as a device's would be.
    const auto* engine = bed_.Device("usb");
    ASSERT_TRUE(WaitUntil([&] { return engine->ReplyReady(TSimLinkDevice::Clock::now()); },
                          std::chrono::milliseconds(5000)));
    Bytes stale(3);
    std::uint32_t moved = 0;
    EXPECT_TRUE(usb_.ReadBuffer(stale.data(), 3, moved));
    EXPECT_EQ(stale, (Bytes{0x08, 0x00, 0x09}));

    lines_.clear();
    Fault("pipe", TSimFaultKind::SlowReply, 1, 30);
    EXPECT_TRUE(pipe_.GetFirmwareVersion());
    // On the pipe files the late reply waits in the FIFO; the next command drains it first
    // and reads its own reply.
    Fault("pipe", TSimFaultKind::SlowReply, 1, kLate);
    EXPECT_FALSE(pipe_.GetRAMTotal());
    ASSERT_TRUE(WaitUntil([&] { return !bed_.Device("pipe")->NextReplyAt(); },
                          std::chrono::milliseconds(5000)));
    EXPECT_TRUE(pipe_.GetFirmwareVersion());
    EXPECT_THAT(lines_, ElementsAre(kRamFails));
}

TEST_F(SimFaultTest, UnplugInMidTransfer) {
    std::vector<std::string> gone;
    std::mutex goneMutex;
    bed_.SetUnplugObserver([&](const std::string& name) {
        std::lock_guard lock(goneMutex);
        gone.push_back(name);
    });
    // The device is gone in mid-transfer, and its LinkName no longer resolves; plugged back, it
    // works as new.
    for (const auto& [name, lines] : {std::pair{"usb", kUsbRamFails}, {"pipe", {kRamFails}}}) {
        SCOPED_TRACE(name);
        lines_.clear();
        Fault(name, TSimFaultKind::UnplugMidTransfer);
        EXPECT_FALSE(Link(name).GetRAMTotal());
        EXPECT_EQ(lines_, lines);
        ASSERT_TRUE(
            WaitUntil([&] { return !bed_.IsPlugged(name); }, std::chrono::milliseconds(2000)));
        Link(name).CloseDevice();
        EXPECT_FALSE(Link(name).OpenDevice() || Link(name).Active());
    }
    {
        std::lock_guard lock(goneMutex);
        EXPECT_THAT(gone, ElementsAre("usb", "pipe"));
    }
    for (const char* name : {"usb", "pipe"}) {
        ASSERT_TRUE(bed_.Plug(name));
        ASSERT_TRUE(Link(name).OpenDevice());
        EXPECT_TRUE(Link(name).GetRAMTotal());
    }
}

// A few thousand write/read round trips of random lengths and bytes: every byte comes back,
// none twice, none late.
TEST_F(SimFaultTest, StressRoundTripsLoseNoByte) {
    std::mt19937 random(4242);
    std::uniform_int_distribution<int> length(2, 600);
    std::uniform_int_distribution<int> byte(0, 255);
    for (const auto& [device, rounds] :
         {std::pair<TUSB_IFDeviceLocal*, int>{&usb_, 3000}, {&pipe_, 1000}}) {
        for (int i = 0, bad = 0; i < rounds && bad < 5; ++i) {
            Bytes out(static_cast<std::size_t>(length(random))), in(out.size());
            for (auto& b : out)
                b = static_cast<std::uint8_t>(byte(random));
            const auto size = static_cast<std::uint32_t>(out.size());
            std::uint32_t wrote = 0, read = 0;
            if (!device->WriteBuffer(out.data(), size, wrote) ||
                !device->ReadBuffer(in.data(), size, read) || wrote != size || in != out) {
                ADD_FAILURE() << "round trip " << i << " of " << size << " bytes, " << read
                              << " came back";
                ++bad;
            }
        }
    }
    EXPECT_TRUE(lines_.empty());
}
} // namespace
