// SPDX-License-Identifier: MIT
// The simulated link devices as the real libudev and libusb see them (run under
// umockdev-wrapper).
#include "SimTestbed.h"

#include "base/UniqueFd.h"

#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <libusb.h>
#include <memory>

namespace {
using Bytes = std::vector<std::uint8_t>;

TSimDeviceConfig Fenwy() {
    TSimDeviceConfig c;
    std::tie(c.Name, c.VendorId, c.ProductId, c.Instance) =
        std::tuple("fenwy", 0x0483, 0x5740, "FW0000001007");
    return c;
}

// An open()ed node wrapped by libusb, interface 0 claimed; let go at the end if `release`.
struct UsbDevice {
    TUniqueFd fd;
    libusb_device_handle* handle = nullptr;
    bool release = true;
    UsbDevice(libusb_context* ctx, const std::string& node)
        : fd(::open(node.c_str(), O_RDWR | O_CLOEXEC)) {
        if (fd.Valid() && libusb_wrap_sys_device(ctx, fd.Get(), &handle) == 0 &&
            libusb_claim_interface(handle, 0) != 0) {
            libusb_close(handle);
            handle = nullptr;
        }
    }
    ~UsbDevice() {
        if (handle && release)
            libusb_release_interface(handle, 0);
        if (handle)
            libusb_close(handle);
    }
    // A bulk transfer; `b` holds what came in on a read.
    int Transfer(unsigned char endpoint, Bytes& b, int& moved) {
        return libusb_bulk_transfer(handle, endpoint, b.data(), static_cast<int>(b.size()), &moved,
                                    300);
    }
};

// Link commands, echoes and a silent device through the real transports are in
// SimFaultTest.cpp, what discovery reads from the udev records in tests/integration/usb; here the
// usbfs behaviour the transports rely on.

TEST(SimTestbedTest, NothingThatWouldBreakARecordOrALinkNameBecomesADevice) {
    ASSERT_TRUE(TSimTestbed::PreloadActive()) << "run under umockdev-wrapper";
    TSimTestbed bed;
    ASSERT_TRUE(bed.AddDevice(Fenwy()));
    EXPECT_FALSE(bed.Unplug("nosuch") || bed.Plug("nosuch"));
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
TEST(SimTestbedTest, EveryOpenFileStartsAfreshAndClaimsAlone) {
    ASSERT_TRUE(TSimTestbed::PreloadActive()) << "run under umockdev-wrapper";
    TSimTestbed bed;
    ASSERT_TRUE(bed.AddDevice(Fenwy()));
    libusb_context* usb = nullptr;
    ASSERT_EQ(libusb_init(&usb), 0);
    const std::unique_ptr<libusb_context, void (*)(libusb_context*)> exit(usb, libusb_exit);
    for (int i = 0; i < 40; ++i) {
        SCOPED_TRACE(i);
        UsbDevice file(usb, bed.DevNode("fenwy"));
        ASSERT_NE(file.handle, nullptr);
        libusb_device_descriptor d{};
        EXPECT_EQ(libusb_get_device_descriptor(libusb_get_device(file.handle), &d), 0);
        EXPECT_EQ(std::tuple(d.idVendor, d.idProduct, d.bcdDevice),
                  std::tuple(0x0483, 0x5740, 0x0204));
        Bytes ram{0x09};
        int moved = 0;
        if (i == 0) {
            EXPECT_EQ(UsbDevice(usb, bed.DevNode("fenwy")).handle, nullptr);
            ASSERT_EQ(file.Transfer(0x02, ram, moved), 0);
        }
        // Every other file leaves without letting go of the interface, as a crashed program
        // does; closing the file releases it.
        file.release = i % 2 == 0;
    }
    UsbDevice dev(usb, bed.DevNode("fenwy"));
    ASSERT_NE(dev.handle, nullptr);
    Bytes version{0x13};
    int moved = 0;
    ASSERT_EQ(dev.Transfer(0x02, version, moved), 0);
    for (const Bytes& expected : {Bytes{0x08, 0x00, 0x09}, Bytes{0x14, 0x04, 0x02}}) {
        Bytes reply(64);
        ASSERT_EQ(dev.Transfer(0x81, reply, moved), 0);
        reply.resize(static_cast<std::size_t>(moved)); // a short packet ends the transfer
        EXPECT_EQ(reply, expected);
    }
}

} // namespace
