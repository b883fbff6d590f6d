// SPDX-License-Identifier: MIT
// Each fault of a simulated device, seen through the device layer's real transports: the
// result and the log lines the device layer gives for it (run under umockdev-wrapper).
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

TSimDeviceConfig Config(const char* name, TSimDriver driver, const char* instance) {
    TSimDeviceConfig c;
    c.Name = name;
    c.Driver = driver;
    c.VendorId = 0x0483;
    c.ProductId = 0xa7f1;
    c.Instance = instance;
    c.Firmware = 0x0204;
    c.RamSize = 0x0900;
    c.SerialNumber = 123456;
    c.HardwareRevision = 7;
    c.FpgaRevision = 0x1234;
    return c;
}

// One simulated device of each kind, opened through its transport; log lines captured.
class SimFaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(TSimTestbed::PreloadActive()) << "run under umockdev-wrapper";
        previousSink_ = SetDebugOutputSink([this](std::string_view line, std::string_view group) {
            if (group == "RUVAzerComm")
                lines_.emplace_back(line);
        });
        previousWinUsbTimeout_ = WinUsbTransferTimeoutMs();
        previousSilabsTimeout_ = SilabsTransferTimeoutMs();
        SetWinUsbTransferTimeoutMs(kTransferTimeoutMs);
        SetSilabsTransferTimeoutMs(kTransferTimeoutMs);
        ASSERT_TRUE(bed_.AddDevice(Config("usb", TSimDriver::WinUSB_ST, "FWY000042007")));
        ASSERT_TRUE(bed_.AddDevice(Config("pipe", TSimDriver::Silabs, "PIP000042007")));
        usb_.LinkName = bed_.LinkName("usb");
        pipe_.LinkName = bed_.LinkName("pipe");
        ASSERT_TRUE(usb_.OpenDevice());
        ASSERT_TRUE(pipe_.OpenDevice());
    }
    void TearDown() override {
        usb_.CloseDevice();
        pipe_.CloseDevice();
        SetDebugOutputSink(previousSink_);
        SetWinUsbTransferTimeoutMs(previousWinUsbTimeout_);
        SetSilabsTransferTimeoutMs(previousSilabsTimeout_);
    }
    void Fault(const char* name, TSimFaultKind kind, unsigned count = 0, unsigned ms = 0) {
        bed_.Device(name)->SetFault({kind, count, ms});
    }

    TSimTestbed bed_;
    TUSB_IFDeviceWinUSB_ST usb_;
    TUSB_IFDeviceSilabs pipe_;
    std::vector<std::string> lines_;
    TDebugOutputSink previousSink_;
    unsigned previousWinUsbTimeout_ = 0;
    unsigned previousSilabsTimeout_ = 0;
};

// One fault for one command on each transport: the command fails with the lines the device
// layer logs, then the fault's count is spent and the same command succeeds.
TEST_F(SimFaultTest, EachFaultFailsItsCommandWithItsLines) {
    const std::string usb = "TUSB_IFDeviceWinUSB_Generic.", local = "TUSB_IFDeviceLocal.";
    const struct {
        const char* Device;
        TSimFaultKind Kind;
        unsigned Count;
        bool (TUSB_IFDeviceLocal::*Command)();
        bool Ok;
        std::vector<std::string> Lines;
    } cases[] = {
        {"usb",
         TSimFaultKind::NoReply,
         1,
         &TUSB_IFDeviceLocal::GetRAMTotal,
         false,
         {usb + "ReadBuffer. BytesToRead: 3", usb + "ReadBuffer. Failed: 3",
          local + "GetRAMTotal. ReadBuffer(@msg, 3)) fail"}},
        {"pipe",
         TSimFaultKind::NoReply,
         1,
         &TUSB_IFDeviceLocal::GetRAMTotal,
         false,
         {local + "GetRAMTotal. ReadBuffer(@msg, 3)) fail"}},
        // Half of the reply comes: no retry, so no BytesToRead line.
        {"usb",
         TSimFaultKind::ShortReply,
         1,
         &TUSB_IFDeviceLocal::GetDevInfo,
         false,
         {usb + "ReadBuffer. Failed: 8", local + "GetDevInfo. ReadBuffer(@msg, 8) fail"}},
        {"pipe",
         TSimFaultKind::ShortReply,
         1,
         &TUSB_IFDeviceLocal::GetDevInfo,
         false,
         {local + "GetDevInfo. ReadBuffer(@msg, 8) fail"}},
        {"usb",
         TSimFaultKind::WrongReplyCode,
         1,
         &TUSB_IFDeviceLocal::GetFirmwareVersion,
         false,
         {local + "GetFirmwareVersion. ReadBuffer(msg[0] <> RX_GET_VER_ACK_MSG) fail"}},
        {"pipe",
         TSimFaultKind::WrongReplyCode,
         1,
         &TUSB_IFDeviceLocal::SetEnableEEPWrite,
         false,
         {local + "SetEnableEEPWrite. ReadBuffer(msg[0] <> RX_ENABLE_EEP_WRITE_ACK_MSG) fail"}},
        // Over libusb the drain's read before the command takes the first failed transfer
        // without a line; one more is retried after 200 ms and nothing is logged; a further
        // failure fails the write, dumped in hex. Pipe files drop the command.
        {"usb", TSimFaultKind::TransferFails, 2, &TUSB_IFDeviceLocal::GetDevInfo, true, {}},
        {"usb",
         TSimFaultKind::TransferFails,
         3,
         &TUSB_IFDeviceLocal::GetDevInfo,
         false,
         {usb + "WriteBuffer. Fail: 18", local + "GetDevInfo. WriteBuffer(TX_GET_DEV_MSG) fail"}},
        {"pipe",
         TSimFaultKind::TransferFails,
         1,
         &TUSB_IFDeviceLocal::GetRAMTotal,
         false,
         {local + "GetRAMTotal. ReadBuffer(@msg, 3)) fail"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Device) + " " + (c.Lines.empty() ? "" : c.Lines.back()));
        TUSB_IFDeviceLocal& device = std::string(c.Device) == "usb"
                                         ? static_cast<TUSB_IFDeviceLocal&>(usb_)
                                         : static_cast<TUSB_IFDeviceLocal&>(pipe_);
        lines_.clear();
        Fault(c.Device, c.Kind, c.Count);
        EXPECT_EQ((device.*c.Command)(), c.Ok);
        EXPECT_EQ(lines_, c.Lines);
        EXPECT_TRUE((device.*c.Command)());
    }
}

// A failed read that moved nothing is retried and gets the whole reply; a failed write is
// dumped in hex.
TEST_F(SimFaultTest, LibusbRetriesAFailedTransferOnce) {
    const Bytes out = {0x1C, 0x00, 0xFF};
    std::uint32_t moved = 7;
    Fault("usb", TSimFaultKind::TransferFails, 2);
    EXPECT_FALSE(usb_.WriteBuffer(out.data(), 3, moved));
    EXPECT_EQ(moved, 0u);
    const std::uint8_t command = 0x18;
    ASSERT_TRUE(usb_.WriteBuffer(&command, 1, moved));
    Fault("usb", TSimFaultKind::TransferFails, 1);
    Bytes reply(8);
    EXPECT_TRUE(usb_.ReadBuffer(reply.data(), 8, moved));
    EXPECT_EQ(moved, 8u);
    EXPECT_EQ(reply, (Bytes{0x19, 0x40, 0xE2, 0x01, 0x00, 0x07, 0x34, 0x12}));
    EXPECT_THAT(lines_, ElementsAre("TUSB_IFDeviceWinUSB_Generic.WriteBuffer. Fail: 1C 00 FF",
                                    "TUSB_IFDeviceWinUSB_Generic.ReadBuffer. BytesToRead: 8"));
}

// Delays are far from the time-outs on either side, so a busy machine does not change the
// outcome.
TEST_F(SimFaultTest, SlowReplyWithinAndBeyondTheTimeout) {
    constexpr unsigned kLate = 1500; // after the read and its retry have given up
    Fault("usb", TSimFaultKind::SlowReply, 1, 30);
    EXPECT_TRUE(usb_.GetRAMTotal());
    EXPECT_TRUE(lines_.empty());
    Fault("usb", TSimFaultKind::SlowReply, 1, kLate);
    EXPECT_FALSE(usb_.GetRAMTotal());
    EXPECT_EQ(usb_.TotalBufferSize, 100);
    EXPECT_THAT(lines_, ElementsAre("TUSB_IFDeviceWinUSB_Generic.ReadBuffer. BytesToRead: 3",
                                    "TUSB_IFDeviceWinUSB_Generic.ReadBuffer. Failed: 3",
                                    "TUSB_IFDeviceLocal.GetRAMTotal. ReadBuffer(@msg, 3)) fail"));
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
    EXPECT_THAT(lines_, ElementsAre("TUSB_IFDeviceLocal.GetRAMTotal. ReadBuffer(@msg, 3)) fail"));
}

TEST_F(SimFaultTest, UnplugInMidTransfer) {
    std::vector<std::string> gone;
    std::mutex goneMutex;
    bed_.SetUnplugObserver([&](const std::string& name) {
        std::lock_guard lock(goneMutex);
        gone.push_back(name);
    });
    Fault("usb", TSimFaultKind::UnplugMidTransfer);
    EXPECT_FALSE(usb_.GetRAMTotal());
    EXPECT_THAT(lines_, ElementsAre("TUSB_IFDeviceWinUSB_Generic.ReadBuffer. BytesToRead: 3",
                                    "TUSB_IFDeviceWinUSB_Generic.ReadBuffer. Failed: 3",
                                    "TUSB_IFDeviceLocal.GetRAMTotal. ReadBuffer(@msg, 3)) fail"));
    ASSERT_TRUE(WaitUntil([&] { return !bed_.IsPlugged("usb"); }, std::chrono::milliseconds(2000)));
    usb_.CloseDevice();
    EXPECT_FALSE(usb_.OpenDevice()); // its LinkName no longer resolves

    lines_.clear();
    Fault("pipe", TSimFaultKind::UnplugMidTransfer);
    EXPECT_FALSE(pipe_.GetRAMTotal());
    EXPECT_THAT(lines_, ElementsAre("TUSB_IFDeviceLocal.GetRAMTotal. ReadBuffer(@msg, 3)) fail"));
    EXPECT_FALSE(bed_.IsPlugged("pipe"));
    pipe_.CloseDevice();
    EXPECT_FALSE(pipe_.OpenDevice());
    {
        std::lock_guard lock(goneMutex);
        EXPECT_THAT(gone, ElementsAre("usb", "pipe"));
    }

    // Plugged back, both work as new.
    ASSERT_TRUE(bed_.Plug("usb"));
    ASSERT_TRUE(bed_.Plug("pipe"));
    ASSERT_TRUE(usb_.OpenDevice());
    ASSERT_TRUE(pipe_.OpenDevice());
    EXPECT_TRUE(usb_.GetRAMTotal());
    EXPECT_TRUE(pipe_.GetRAMTotal());
}

// A few thousand write/read round trips of random lengths and bytes: every byte comes back,
// none twice, none late.
TEST_F(SimFaultTest, StressRoundTripsLoseNoByte) {
    std::mt19937 random(4242);
    std::uniform_int_distribution<int> length(2, 600);
    std::uniform_int_distribution<int> byte(0, 255);
    const struct {
        TUSB_IFDeviceLocal* device;
        int rounds;
    } runs[] = {{&usb_, 3000}, {&pipe_, 1000}};
    for (const auto& run : runs) {
        int bad = 0;
        for (int i = 0; i < run.rounds && bad < 5; ++i) {
            Bytes out(static_cast<std::size_t>(length(random)));
            for (auto& b : out)
                b = static_cast<std::uint8_t>(byte(random));
            std::uint32_t moved = 0;
            if (!run.device->WriteBuffer(out.data(), static_cast<std::uint32_t>(out.size()),
                                         moved) ||
                moved != out.size()) {
                ADD_FAILURE() << "write " << i;
                ++bad;
                continue;
            }
            Bytes in(out.size());
            if (!run.device->ReadBuffer(in.data(), static_cast<std::uint32_t>(in.size()), moved) ||
                moved != in.size() || in != out) {
                ADD_FAILURE() << "round trip " << i << " of " << out.size() << " bytes, " << moved
                              << " came back";
                ++bad;
            }
        }
    }
    EXPECT_TRUE(lines_.empty());
}
} // namespace
