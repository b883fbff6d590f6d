// SPDX-License-Identifier: MIT
// The simulated link devices as the real libudev and libusb see them (run under
// umockdev-wrapper).
#include "SimTestbed.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <libudev.h>
#include <libusb.h>
#include <memory>
#include <sys/stat.h>
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

// Link commands, echoes and a silent device through the real transports are in
// SimFaultTest.cpp; here the usbfs and udev behaviour those transports rely on.

struct Udev {
    udev* u = udev_new();
    ~Udev() { udev_unref(u); }
};

std::string Prop(udev_device* d, const char* name) {
    const char* v = udev_device_get_property_value(d, name);
    return v ? v : "<none>";
}

std::string Attr(udev_device* d, const char* name) {
    const char* v = udev_device_get_sysattr_value(d, name);
    return v ? v : "<none>";
}

// The udev side of the contract with discovery, for both kinds of device.
TEST_F(SimTestbedTest, UdevRecordsCarryWhatDiscoveryReads) {
    TSimTestbed bed;
    ASSERT_TRUE(bed.AddDevice(Fenwy()));
    TSimDeviceConfig pipe = Fenwy();
    pipe.Name = "pipe";
    pipe.Driver = TSimDriver::Silabs;
    pipe.VendorId = 0x10c4;
    pipe.ProductId = 0x83cc;
    pipe.Instance.clear();
    pipe.FriendlyName.clear();
    pipe.Description = "Brisk box";
    ASSERT_TRUE(bed.AddDevice(pipe));
    Udev udev;

    udev_device* usb = udev_device_new_from_syspath(udev.u, bed.SysPath("fenwy").c_str());
    ASSERT_NE(usb, nullptr);
    EXPECT_STREQ(udev_device_get_subsystem(usb), "usb");
    EXPECT_STREQ(udev_device_get_devtype(usb), "usb_device");
    ASSERT_NE(udev_device_get_devnode(usb), nullptr);
    EXPECT_EQ(std::string(udev_device_get_devnode(usb)), bed.DevNode("fenwy"));
    EXPECT_EQ(Prop(usb, "ZEMB_INTERFACE_GUID"), "{0CEAFF08-B1FD-4D12-B748-353077277F7E}");
    EXPECT_EQ(Prop(usb, "ID_VENDOR_ID"), "0483");
    EXPECT_EQ(Prop(usb, "ID_MODEL_ID"), "5740");
    EXPECT_EQ(Prop(usb, "ID_SERIAL_SHORT"), "FW0000001007");
    EXPECT_EQ(Prop(usb, "ZEMB_FRIENDLY_NAME"), "Fenwy Link");
    EXPECT_EQ(Prop(usb, "ID_MODEL"), "<none>");
    EXPECT_EQ(Prop(usb, "ZEMB_PIPE_DIR"), "<none>");
    EXPECT_EQ(Attr(usb, "idVendor"), "0483");
    EXPECT_EQ(Attr(usb, "serial"), "FW0000001007");
    EXPECT_EQ(Attr(usb, "busnum"), "1");
    EXPECT_EQ(bed.LinkName("fenwy"),
              "usb#vid_0483&pid_5740#FW0000001007#{0CEAFF08-B1FD-4D12-B748-353077277F7E}");
    udev_device_unref(usb);

    udev_device* p = udev_device_new_from_syspath(udev.u, bed.SysPath("pipe").c_str());
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(udev_device_get_devnode(p), nullptr);
    // A Brisk box gets the Brisk class of its column; without a serial string the port path
    // is its instance.
    EXPECT_EQ(Prop(p, "ZEMB_INTERFACE_GUID"), "{1EA50ECA-CCB4-46A0-A79B-C5AE3C4BC250}");
    EXPECT_EQ(Prop(p, "ID_SERIAL_SHORT"), "<none>");
    EXPECT_EQ(Attr(p, "serial"), "<none>");
    EXPECT_EQ(Prop(p, "ID_MODEL"), "Brisk box");
    const std::string dir = Prop(p, "ZEMB_PIPE_DIR");
    EXPECT_EQ(dir, bed.PipeDir("pipe"));
    EXPECT_TRUE(dir.ends_with("/usb#vid_10c4&pid_83cc#" + std::string(udev_device_get_sysname(p)) +
                              "#{1EA50ECA-CCB4-46A0-A79B-C5AE3C4BC250}"))
        << dir;
    udev_device_unref(p);
    struct stat st;
    ASSERT_EQ(::stat((dir + "/PIPE00").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    ASSERT_EQ(::stat((dir + "/PIPE01").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));

    // Unplugged: no record, no node, no FIFOs.
    const std::string node = bed.DevNode("fenwy");
    ASSERT_TRUE(bed.Unplug("fenwy"));
    ASSERT_TRUE(bed.Unplug("pipe"));
    EXPECT_EQ(udev_device_new_from_syspath(udev.u, bed.SysPath("fenwy").c_str()), nullptr);
    const int fd = ::open(node.c_str(), O_RDWR | O_CLOEXEC);
    EXPECT_LT(fd, 0);
    if (fd >= 0)
        ::close(fd);
    EXPECT_NE(::stat(dir.c_str(), &st), 0);
    EXPECT_FALSE(bed.Unplug("fenwy"));
    EXPECT_FALSE(bed.Plug("nosuch"));

    // Nothing that would break a udev record or a LinkName becomes a device.
    TSimDeviceConfig bad = Fenwy();
    bad.Name = "FENWY";
    EXPECT_FALSE(bed.AddDevice(bad)); // the same name
    bad.Name = "other";
    bad.Instance = "A/B";
    EXPECT_FALSE(bed.AddDevice(bad));
    bad.Instance = "AB";
    bad.FriendlyName = "two\nlines";
    EXPECT_FALSE(bed.AddDevice(bad));
    bad.FriendlyName.clear();
    bad.InterfaceGuid = "{../../x}";
    EXPECT_FALSE(bed.AddDevice(bad));
    EXPECT_EQ(bed.DeviceNames(), (std::vector<std::string>{"fenwy", "pipe"}));
}

// libusb's own enumeration (sysfs descriptors) finds the device with its identifiers.
TEST_F(SimTestbedTest, LibusbEnumerationSeesTheDescriptors) {
    TSimTestbed bed;
    ASSERT_TRUE(bed.AddDevice(Fenwy()));
    UsbContext usb;
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(usb.ctx, &list);
    ASSERT_GE(n, 1);
    bool found = false;
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor d;
        ASSERT_EQ(libusb_get_device_descriptor(list[i], &d), 0);
        if (d.idVendor != 0x0483 || d.idProduct != 0x5740)
            continue;
        found = true;
        libusb_config_descriptor* config = nullptr;
        ASSERT_EQ(libusb_get_config_descriptor(list[i], 0, &config), 0);
        ASSERT_EQ(config->bNumInterfaces, 1);
        const auto& alt = config->interface[0].altsetting[0];
        ASSERT_EQ(alt.bNumEndpoints, 2);
        EXPECT_EQ(alt.endpoint[0].bEndpointAddress, 0x81);
        EXPECT_EQ(alt.endpoint[1].bEndpointAddress, 0x02);
        EXPECT_EQ(alt.endpoint[0].bmAttributes & 3, LIBUSB_TRANSFER_TYPE_BULK);
        libusb_free_config_descriptor(config);
    }
    libusb_free_device_list(list, 1);
    EXPECT_TRUE(found);

    // The serial-number string over a control transfer on the wrapped node.
    UsbDevice dev(usb.ctx, bed.DevNode("fenwy"));
    ASSERT_NE(dev.handle, nullptr);
    unsigned char serial[64] = {};
    ASSERT_GT(libusb_get_string_descriptor_ascii(dev.handle, 3, serial, sizeof serial), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(serial), "FW0000001007");
}

// Interface 0 belongs to one open file at a time, as usbfs has it.
TEST_F(SimTestbedTest, SecondFileCannotClaimUntilTheFirstLetsGo) {
    TSimTestbed bed;
    ASSERT_TRUE(bed.AddDevice(Fenwy()));
    UsbContext usb;
    auto first = std::make_unique<UsbDevice>(usb.ctx, bed.DevNode("fenwy"));
    ASSERT_NE(first->handle, nullptr);
    {
        UsbDevice second(usb.ctx, bed.DevNode("fenwy"));
        EXPECT_EQ(second.handle, nullptr);
    }
    int moved = 0;
    ASSERT_EQ(first->Write({0x09}, moved), 0);
    first.reset(); // closed with its reply unread
    UsbDevice third(usb.ctx, bed.DevNode("fenwy"));
    ASSERT_NE(third.handle, nullptr);
    ASSERT_EQ(third.Write({0x13}, moved), 0);
    Bytes reply(3);
    ASSERT_EQ(third.Read(reply, moved), 0);
    EXPECT_EQ(reply[0], 0x08); // the device still holds the earlier reply, as hardware would
}

// Each open file is a file of its own, as usbfs has it: it reads the descriptors from the
// start, and what a closed file held (its read position, its claim) dies with it, however
// many files came and went before.
TEST_F(SimTestbedTest, EveryOpenFileStartsAfresh) {
    TSimTestbed bed;
    ASSERT_TRUE(bed.AddDevice(Fenwy()));
    UsbContext usb;
    for (int i = 0; i < 40; ++i) {
        SCOPED_TRACE(i);
        const int fd = ::open(bed.DevNode("fenwy").c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        libusb_device_handle* handle = nullptr;
        ASSERT_EQ(libusb_wrap_sys_device(usb.ctx, fd, &handle), 0);
        libusb_device_descriptor d{};
        EXPECT_EQ(libusb_get_device_descriptor(libusb_get_device(handle), &d), 0);
        EXPECT_EQ(d.idVendor, 0x0483);
        EXPECT_EQ(d.idProduct, 0x5740);
        EXPECT_EQ(d.bcdDevice, 0x0204);
        // Every other file leaves without letting go of the interface, as a crashed program
        // does; closing the file releases it.
        EXPECT_EQ(libusb_claim_interface(handle, 0), 0);
        if (i % 2 == 0)
            libusb_release_interface(handle, 0);
        libusb_close(handle);
        ::close(fd);
    }
    UsbDevice dev(usb.ctx, bed.DevNode("fenwy"));
    ASSERT_NE(dev.handle, nullptr);
    int moved = 0;
    ASSERT_EQ(dev.Write({0x09}, moved), 0);
    Bytes reply(3);
    ASSERT_EQ(dev.Read(reply, moved), 0);
    EXPECT_EQ(reply, (Bytes{0x08, 0x00, 0x09}));
}

// Short replies and packet boundaries as a bulk endpoint has them.
TEST_F(SimTestbedTest, ReadsTakeOneReplyPacketAtATime) {
    TSimTestbed bed;
    ASSERT_TRUE(bed.AddDevice(Fenwy()));
    UsbContext usb;
    UsbDevice dev(usb.ctx, bed.DevNode("fenwy"));
    ASSERT_NE(dev.handle, nullptr);
    int moved = 0;
    ASSERT_EQ(dev.Write({0x09}, moved), 0);
    ASSERT_EQ(dev.Write({0x13}, moved), 0);
    Bytes big(64);
    ASSERT_EQ(dev.Read(big, moved), 0);
    EXPECT_EQ(moved, 3); // a short packet ends the transfer
    EXPECT_EQ(big[0], 0x08);
    ASSERT_EQ(dev.Read(big, moved), 0);
    EXPECT_EQ(moved, 3);
    EXPECT_EQ(big[0], 0x14);
    EXPECT_EQ(bed.Device("fenwy")->BytesWritten(), 2u);
    EXPECT_EQ(bed.Device("fenwy")->BytesRead(), 6u);
}
} // namespace
