// SPDX-License-Identifier: MIT
// The simulated link devices as the real libudev and libusb see them (run under
// umockdev-wrapper).
#include "SimTestbed.h"

#include <chrono>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <libudev.h>
#include <libusb.h>
#include <memory>
#include <thread>
#include <unistd.h>

namespace {
using Bytes = std::vector<std::uint8_t>;

TSimDeviceConfig Fenwy() {
    TSimDeviceConfig c;
    c.Name = "fenwy";
    c.Driver = TSimDriver::WinUSB_ST;
    c.VendorId = 0x0483;
    c.ProductId = 0x5740;
    c.Instance = "FW0000001007";
    c.FriendlyName = "Fenwy Link";
    c.Firmware = 0x0204;
    c.RamSize = 0x0900;
    c.SerialNumber = 123456;
    c.HardwareRevision = 7;
    c.FpgaRevision = 0x1234;
    return c;
}

struct UsbContext {
    libusb_context* ctx = nullptr;
    UsbContext() { EXPECT_EQ(libusb_init(&ctx), 0); }
    ~UsbContext() { libusb_exit(ctx); }
};

// An open()ed node wrapped by libusb, interface 0 claimed.
struct UsbDevice {
    int fd = -1;
    libusb_device_handle* handle = nullptr;
    UsbDevice(libusb_context* ctx, const std::string& node) {
        fd = ::open(node.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0)
            return;
        if (libusb_wrap_sys_device(ctx, fd, &handle) != 0)
            handle = nullptr;
        else if (libusb_claim_interface(handle, 0) != 0) {
            libusb_close(handle);
            handle = nullptr;
        }
    }
    ~UsbDevice() {
        if (handle) {
            libusb_release_interface(handle, 0);
            libusb_close(handle);
        }
        if (fd >= 0)
            ::close(fd);
    }
    int Write(const Bytes& b, int& moved) {
        return libusb_bulk_transfer(handle, 0x02, const_cast<std::uint8_t*>(b.data()),
                                    static_cast<int>(b.size()), &moved, 300);
    }
    int Read(Bytes& b, int& moved, unsigned timeoutMs = 300) {
        return libusb_bulk_transfer(handle, 0x81, b.data(), static_cast<int>(b.size()), &moved,
                                    timeoutMs);
    }
};

class SimTestbedTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(TSimTestbed::PreloadActive()) << "run under umockdev-wrapper";
    }
};

TEST_F(SimTestbedTest, LibusbExchangesLinkCommandsAndEchoes) {
    TSimTestbed bed;
    ASSERT_TRUE(bed.AddDevice(Fenwy()));
    UsbContext usb;
    UsbDevice dev(usb.ctx, bed.DevNode("fenwy"));
    ASSERT_NE(dev.handle, nullptr);

    int moved = 0;
    ASSERT_EQ(dev.Write({0x09}, moved), 0);
    EXPECT_EQ(moved, 1);
    Bytes reply(3);
    ASSERT_EQ(dev.Read(reply, moved), 0);
    EXPECT_EQ(reply, (Bytes{0x08, 0x00, 0x09}));

    ASSERT_EQ(dev.Write({0x18}, moved), 0);
    Bytes info(8);
    ASSERT_EQ(dev.Read(info, moved), 0);
    EXPECT_EQ(info, (Bytes{0x19, 0x40, 0xE2, 0x01, 0x00, 0x07, 0x34, 0x12}));

    const Bytes poll{0x11, 0x01, 0x02, 0x03};
    ASSERT_EQ(dev.Write(poll, moved), 0);
    Bytes echo(4);
    ASSERT_EQ(dev.Read(echo, moved), 0);
    EXPECT_EQ(echo, poll);
}

TEST_F(SimTestbedTest, SilentDeviceTimesOut) {
    TSimTestbed bed;
    ASSERT_TRUE(bed.AddDevice(Fenwy()));
    UsbContext usb;
    UsbDevice dev(usb.ctx, bed.DevNode("fenwy"));
    ASSERT_NE(dev.handle, nullptr);
    Bytes reply(3);
    int moved = -1;
    EXPECT_EQ(dev.Read(reply, moved, 100), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(moved, 0);
    // A cancelled read leaves nothing behind: the next exchange is clean.
    ASSERT_EQ(dev.Write({0x13}, moved), 0);
    ASSERT_EQ(dev.Read(reply, moved), 0);
    EXPECT_EQ(reply, (Bytes{0x14, 0x04, 0x02}));
}
} // namespace
