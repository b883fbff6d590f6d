// SPDX-License-Identifier: MIT
#include "usb/UdevDiscovery.h"

#include "base/ProfileFile.h"
#include "base/Text.h"

#include <algorithm>
#include <cctype>
#include <libudev.h>

namespace {

struct TEnumerateDeleter {
    void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
};
struct TDeviceDeleter {
    void operator()(udev_device* d) const { udev_device_unref(d); }
};
using TUdevEnumerate = std::unique_ptr<udev_enumerate, TEnumerateDeleter>;
using TUdevDevice = std::unique_ptr<udev_device, TDeviceDeleter>;

constexpr const char* GuidProperty = "ZEMB_INTERFACE_GUID";
constexpr std::size_t MaxNameLength = 512;

std::string Text(const char* value) {
    return value ? std::string(value) : std::string();
}

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string Property(udev_device* device, const char* name) {
    return Text(udev_device_get_property_value(device, name));
}

// Every device that carries an interface GUID at all, in udev's order; the GUID itself is
// compared in code because udev matches property values with case.
template <typename F> void ForEachInterfaceDevice(udev* context, F&& f) {
    TUdevEnumerate enumerate(udev_enumerate_new(context));
    if (!enumerate)
        return;
    udev_enumerate_add_match_property(enumerate.get(), GuidProperty, "*");
    if (udev_enumerate_scan_devices(enumerate.get()) < 0)
        return;
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
        TUdevDevice device(udev_device_new_from_syspath(context, udev_list_entry_get_name(entry)));
        if (!device)
            continue;
        const auto guid = TGUID::FromString(Property(device.get(), GuidProperty));
        if (!guid)
            continue; // a GUID property that is no GUID names no interface class
        if (!f(device.get(), *guid))
            return;
    }
}

std::string LinkNameOf(udev_device* device, const TGUID& guid) {
    std::string pipeDir = Property(device, "ZEMB_PIPE_DIR");
    if (!pipeDir.empty())
        return pipeDir;
    std::string vendor = Property(device, "ID_VENDOR_ID");
    if (vendor.empty())
        vendor = Text(udev_device_get_sysattr_value(device, "idVendor"));
    std::string product = Property(device, "ID_MODEL_ID");
    if (product.empty())
        product = Text(udev_device_get_sysattr_value(device, "idProduct"));
    std::string instance = Property(device, "ID_SERIAL_SHORT");
    if (instance.empty())
        instance = Text(udev_device_get_sysname(device));
    return MakeLinkName(Lower(vendor), Lower(product), instance, guid);
}

// One context per thread: libudev's objects are not to be used by two threads at once, and a
// rescan identifies devices on a thread of its own while the main thread opens others.
std::weak_ptr<TUdevDiscovery>& Shared() {
    thread_local std::weak_ptr<TUdevDiscovery> shared;
    return shared;
}

} // namespace

std::string MakeLinkName(const std::string& vendorId, const std::string& productId,
                         const std::string& instance, const TGUID& interfaceGUID) {
    return "usb#vid_" + vendorId + "&pid_" + productId + "#" + instance + "#" +
           interfaceGUID.ToString();
}

std::shared_ptr<TUdevDiscovery> TUdevDiscovery::Load() {
    if (auto existing = Shared().lock())
        return existing;
    udev* context = udev_new();
    if (!context)
        return nullptr;
    std::shared_ptr<TUdevDiscovery> api(new TUdevDiscovery(context));
    Shared() = api;
    return api;
}

TUdevDiscovery::~TUdevDiscovery() {
    udev_unref(udev_);
}

std::vector<TUdevDiscovery::TDeviceInterface>
TUdevDiscovery::FindInterfaces(const TGUID& interfaceGUID, std::size_t maxCount) const {
    std::vector<TDeviceInterface> found;
    if (maxCount == 0)
        return found;
    ForEachInterfaceDevice(udev_, [&](udev_device* device, const TGUID& guid) {
        if (guid != interfaceGUID)
            return true;
        TDeviceInterface item;
        item.DevicePath = LinkNameOf(device, guid);
        item.FriendlyName = Property(device, "ZEMB_FRIENDLY_NAME");
        if (item.FriendlyName.empty())
            item.FriendlyName = Property(device, "ID_MODEL");
        if (item.FriendlyName.empty())
            item.FriendlyName = item.DevicePath;
        if (item.FriendlyName.size() > MaxNameLength)
            item.FriendlyName.resize(MaxNameLength);
        found.push_back(std::move(item));
        return found.size() < maxCount;
    });
    return found;
}

std::optional<std::string> TUdevDiscovery::DeviceNodeOf(const std::string& linkName) const {
    std::optional<std::string> node;
    ForEachInterfaceDevice(udev_, [&](udev_device* device, const TGUID& guid) {
        const char* devnode = udev_device_get_devnode(device);
        if (devnode == nullptr || !ZEMB::SameText(LinkNameOf(device, guid), linkName))
            return true;
        node = devnode;
        return false;
    });
    return node;
}

TUdevMonitor::TUdevMonitor(const std::string& deviceType) {
    udev_ = udev_new();
    if (!udev_)
        return;
    monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
    if (!monitor_)
        return;
    if (udev_monitor_filter_add_match_subsystem_devtype(
            monitor_, "usb", deviceType.empty() ? nullptr : deviceType.c_str()) < 0 ||
        udev_monitor_enable_receiving(monitor_) < 0) {
        monitor_ = udev_monitor_unref(monitor_);
    }
}

TUdevMonitor::~TUdevMonitor() {
    if (monitor_)
        udev_monitor_unref(monitor_);
    if (udev_)
        udev_unref(udev_);
}

int TUdevMonitor::Fd() const {
    return monitor_ ? udev_monitor_get_fd(monitor_) : -1;
}

bool TUdevMonitor::Receive(TUevent& event) {
    if (!monitor_)
        return false;
    TUdevDevice device(udev_monitor_receive_device(monitor_));
    if (!device)
        return false;
    event.Action = Text(udev_device_get_action(device.get()));
    event.SysPath = Text(udev_device_get_syspath(device.get()));
    event.LinkName.reset();
    if (const auto guid = TGUID::FromString(Property(device.get(), GuidProperty)))
        event.LinkName = LinkNameOf(device.get(), *guid);
    return true;
}
