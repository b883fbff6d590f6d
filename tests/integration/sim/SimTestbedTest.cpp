// SPDX-License-Identifier: MIT
// The simulated link devices as the real libudev and libusb see them (run under
// umockdev-wrapper).
#include "SimTestbed.h"

#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <libusb.h>
#include <memory>
#include <unistd.h>

namespace {
using Bytes = std::vector<std::uint8_t>;

TSimDeviceConfig Fenwy() {
    TSimDeviceConfig c;
    c.Name = "fenwy";
    c.VendorId = 0x0483;
    c.ProductId = 0x5740;
    c.Instance = "FW0000001007";
    return c;
}

struct UsbContext {
    libusb_context* ctx = nullptr;
    UsbContext() { EXPECT_EQ(libusb_init(&ctx), 0); }
    ~UsbContext() { libusb_exit(ctx); }
};

// An open()ed node wrapped by libusb, interface 0 claimed; let go at the end if `release`.
struct UsbDevice {
    int fd = -1;
    libusb_device_handle* handle = nullptr;
    bool release = true;
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
        if (handle && release)
            libusb_release_interface(handle, 0);
        if (handle)
            libusb_close(handle);
        if (fd >= 0)
            ::close(fd);
    }
    int Write(const Bytes& b, int& moved) {
        return libusb_bulk_transfer(handle, 0x02, const_cast<std::uint8_t*>(b.data()),
                                    static_cast<int>(b.size()), &moved, 300);
    }
    int Read(Bytes& b, int& moved) {
        return libusb_bulk_transfer(handle, 0x81, b.data(), static_cast<int>(b.size()), &moved,
                                    300);
    }
};

class SimTestbedTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(TSimTestbed::PreloadActive()) << "run under umockdev-wrapper";
    }
};

// Link commands, echoes and a silent device through the real transports are in
// SimFaultTest.cpp, what discovery reads from the udev records in tests/integration/usb; here the
// usbfs behaviour the transports rely on.

TEST_F(SimTestbedTest, NothingThatWouldBreakARecordOrALinkNameBecomesADevice) {
    TSimTestbed bed;
    ASSERT_TRUE(bed.AddDevice(Fenwy()));
    EXPECT_FALSE(bed.Unplug("nosuch"));
    EXPECT_FALSE(bed.Plug("nosuch"));
    // The same name in other case, a slash in the instance, a line break, a path as GUID.
    for (const auto& spoil : std::vector<std::function<void(TSimDeviceConfig&)>>{
             [](auto& c) { c.Name = "FENWY"; }, [](auto& c) { c.Instance = "A/B"; },
             [](auto& c) { c.FriendlyName = "two\nlines"; },
             [](auto& c) { c.InterfaceGuid = "{../../x}"; }}) {
        TSimDeviceConfig bad = Fenwy();
        bad.Name = "other";
        spoil(bad);
        EXPECT_FALSE(bed.AddDevice(bad)) << bad.Name;
    }
    EXPECT_EQ(bed.DeviceNames(), (std::vector<std::string>{"fenwy"}));
}

// Each open file is a file of its own, as usbfs has it: it reads the descriptors from the
// start, its claim of interface 0 shuts every other file out, and what a closed file held (its
// read position, its claim) dies with it, however many files came and went before. A reply
// left unread stays with the device, as hardware would keep it, and a read takes one reply
// packet at a time, as from a bulk endpoint.
TEST_F(SimTestbedTest, EveryOpenFileStartsAfreshAndClaimsAlone) {
    TSimTestbed bed;
    ASSERT_TRUE(bed.AddDevice(Fenwy()));
    UsbContext usb;
    for (int i = 0; i < 40; ++i) {
        SCOPED_TRACE(i);
        UsbDevice file(usb.ctx, bed.DevNode("fenwy"));
        ASSERT_NE(file.handle, nullptr);
        libusb_device_descriptor d{};
        EXPECT_EQ(libusb_get_device_descriptor(libusb_get_device(file.handle), &d), 0);
        EXPECT_EQ(std::tuple(d.idVendor, d.idProduct, d.bcdDevice),
                  std::tuple(0x0483, 0x5740, 0x0204));
        int moved = 0;
        if (i == 0) {
            EXPECT_EQ(UsbDevice(usb.ctx, bed.DevNode("fenwy")).handle, nullptr);
            ASSERT_EQ(file.Write({0x09}, moved), 0);
        }
        // Every other file leaves without letting go of the interface, as a crashed program
        // does; closing the file releases it.
        file.release = i % 2 == 0;
    }
    UsbDevice dev(usb.ctx, bed.DevNode("fenwy"));
    ASSERT_NE(dev.handle, nullptr);
    int moved = 0;
    ASSERT_EQ(dev.Write({0x13}, moved), 0);
    for (const Bytes& expected : {Bytes{0x08, 0x00, 0x09}, Bytes{0x14, 0x04, 0x02}}) {
        Bytes reply(64);
        ASSERT_EQ(dev.Read(reply, moved), 0);
        reply.resize(static_cast<std::size_t>(moved)); // a short packet ends the transfer
        EXPECT_EQ(reply, expected);
    }
}

} // namespace
