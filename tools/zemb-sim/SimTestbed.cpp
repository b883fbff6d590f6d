// SPDX-License-Identifier: MIT
#include "SimTestbed.h"

#include "SimUsbfs.h"
#include "base/ProfileFile.h"
#include "base/Text.h"
#include "base/UniqueFd.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <link.h>
#include <map>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <thread>
#include <umockdev.h>
#include <unistd.h>
#include <utility>

namespace {
// A bus holds devices 2..127; more devices than a bus can number go on the next bus.
constexpr unsigned kPortsPerBus = 100;
constexpr std::size_t kPipeChunk = 65536;

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    std::string s;
    for (auto b : bytes) {
        s += "0123456789abcdef"[b >> 4];
        s += "0123456789abcdef"[b & 0xF];
    }
    return s;
}

std::string Hex4(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04x", v & 0xFFFFu);
    return buf;
}

std::string Dec3(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%03u", v % 1000u);
    return buf;
}

} // namespace

struct TSimTestbed::TImpl {
    struct Entry {
        explicit Entry(const TSimDeviceConfig& c) : engine(c) {}
        TSimLinkDevice engine;
        unsigned bus = 1;
        std::string port;    // udev sysname, "1-3"
        std::string sysPath; // /sys/devices/...
        std::string pipeDir; // pipe-file devices
        bool plugged = false;
        unsigned devnum = 0;
        std::string devNode; // libusb devices while plugged
        std::unique_ptr<TSimUsbfsHandler> usbfs;
        // Pipe-file devices: our ends of the FIFOs while plugged.
        TUniqueFd fromHost; // PIPE01, read here
        TUniqueFd toHost;   // PIPE00, written here
        std::vector<std::uint8_t> outbox;
        std::atomic<bool> unplugRequested{false};
        bool IsPipe() const { return engine.Config().Driver == TSimDriver::Silabs; }
    };

    UMockdevTestbed* testbed = nullptr;
    std::string root;
    mutable std::recursive_mutex mutex; // the device list and every testbed call
    std::vector<std::unique_ptr<Entry>> devices;
    // Handlers of earlier plugs: umockdev may still be inside one when it is replaced.
    std::vector<std::unique_ptr<TSimUsbfsHandler>> retired;
    std::map<unsigned, unsigned> nextDevnum; // per bus
    std::function<void(const std::string&)> unplugObserver;

    TUniqueFd wake; // eventfd that interrupts the service thread's poll
    std::atomic<bool> stopping{false};
    std::thread service;

    Entry* Find(std::string_view name) const {
        for (auto& e : devices) {
            if (ZEMB::SameText(e->engine.Config().Name, name))
                return e.get();
        }
        return nullptr;
    }

    void Wake() const {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto r = ::write(wake.Get(), &one, sizeof one);
    }

    std::string Record(const Entry& e) const;
    bool AllocateDevnum(Entry& e);
    bool PlugLocked(Entry& e);
    // hasRecord: the device's udev record was added (false while a plug is taken back).
    void UnplugLocked(Entry& e, bool sendEvent, bool hasRecord = true);
    void Serve();
    void ServePipe(Entry& e, bool readable);
};

std::string TSimTestbed::TImpl::Record(const Entry& e) const {
    const TSimDeviceConfig& c = e.engine.Config();
    std::string r = "P: " + e.sysPath.substr(4) + "\n"; // without the leading "/sys"
    if (!e.IsPipe())
        r += "N: " + e.devNode.substr(5) + "\n"; // without the leading "/dev/"
    r += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n";
    if (!e.IsPipe())
        r += "E: DEVNAME=" + e.devNode + "\n";
    r += "E: BUSNUM=" + Dec3(e.bus) + "\nE: DEVNUM=" + Dec3(e.devnum) + "\n";
    char product[32];
    std::snprintf(product, sizeof product, "%x/%x/%x", c.VendorId, c.ProductId, c.Firmware);
    r += "E: PRODUCT=" + std::string(product) + "\n";
    r += "E: ID_VENDOR_ID=" + Hex4(c.VendorId) + "\nE: ID_MODEL_ID=" + Hex4(c.ProductId) + "\n";
    if (!c.Instance.empty())
        r += "E: ID_SERIAL_SHORT=" + c.Instance + "\n";
    r += "E: ZEMB_INTERFACE_GUID=" + SimInterfaceGuid(c) + "\n";
    if (!c.FriendlyName.empty())
        r += "E: ZEMB_FRIENDLY_NAME=" + c.FriendlyName + "\n";
    if (!c.Description.empty())
        r += "E: ID_MODEL=" + c.Description + "\n";
    if (e.IsPipe())
        r += "E: ZEMB_PIPE_DIR=" + e.pipeDir + "\n";
    r += "A: idVendor=" + Hex4(c.VendorId) + "\nA: idProduct=" + Hex4(c.ProductId) + "\n";
    r += "A: bcdDevice=" + Hex4(c.Firmware) + "\n";
    if (!c.Instance.empty())
        r += "A: serial=" + c.Instance + "\n";
    r += "A: busnum=" + std::to_string(e.bus) + "\nA: devnum=" + std::to_string(e.devnum) +
         "\nA: speed=480\nA: bConfigurationValue=1\nA: bNumConfigurations=1\n"
         "A: bNumInterfaces= 1\nA: manufacturer=ZEMB simulated link\n";
    r += "H: descriptors=" + Hex(SimUsbDescriptors(c)) + "\n";
    return r;
}

// A device number no plugged device holds, going round 2..127 as the kernel does.
bool TSimTestbed::TImpl::AllocateDevnum(Entry& e) {
    for (unsigned tries = 0; tries < 126; ++tries) {
        unsigned& next = nextDevnum.try_emplace(e.bus, 2).first->second;
        const unsigned candidate = next;
        next = next >= 127 ? 2 : next + 1;
        const bool used = std::any_of(devices.begin(), devices.end(), [&](const auto& other) {
            return other.get() != &e && other->plugged && other->bus == e.bus &&
                   other->devnum == candidate;
        });
        if (!used) {
            e.devnum = candidate;
            return true;
        }
    }
    return false;
}

bool TSimTestbed::TImpl::PlugLocked(Entry& e) {
    if (e.plugged || !AllocateDevnum(e))
        return false;
    e.engine.Reset();
    GError* error = nullptr;
    // Whatever was made for a plug that fails is taken down again.
    const auto undo = [&] {
        if (error)
            g_error_free(std::exchange(error, nullptr));
        e.plugged = true;
        UnplugLocked(e, false, false);
        return false;
    };
    if (e.IsPipe()) {
        const std::string in = e.pipeDir + "/PIPE01";
        const std::string out = e.pipeDir + "/PIPE00";
        if (::mkdir(e.pipeDir.c_str(), 0700) != 0 && errno != EEXIST)
            return undo();
        ::unlink(in.c_str());
        ::unlink(out.c_str());
        if (::mkfifo(in.c_str(), 0600) != 0 || ::mkfifo(out.c_str(), 0600) != 0)
            return undo();
        // Read-write opens never block and never see end of file when the host closes.
        e.fromHost = TUniqueFd(::open(in.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
        e.toHost = TUniqueFd(::open(out.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
        if (!e.fromHost.Valid() || !e.toHost.Valid())
            return undo();
        e.outbox.clear();
    } else {
        char node[64];
        std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", e.bus, e.devnum);
        e.devNode = node;
        Entry* entry = &e;
        e.usbfs = std::make_unique<TSimUsbfsHandler>(e.engine, e.devnum, [this, entry] {
            entry->unplugRequested = true;
            Wake();
        });
        // Attached before the device exists, so a client reacting to "add" finds it served.
        if (!umockdev_testbed_attach_ioctl(testbed, e.devNode.c_str(), e.usbfs->Base(), &error)) {
            g_error_free(std::exchange(error, nullptr));
            retired.push_back(std::move(e.usbfs));
            e.devNode.clear();
            return false;
        }
    }
    // Adding the device sends its "add" uevent.
    if (!umockdev_testbed_add_from_string(testbed, Record(e).c_str(), &error))
        return undo();
    e.plugged = true;
    e.unplugRequested = false;
    Wake();
    return true;
}

void TSimTestbed::TImpl::UnplugLocked(Entry& e, bool sendEvent, bool hasRecord) {
    if (!e.plugged)
        return;
    e.plugged = false;
    if (e.usbfs)
        e.usbfs->Gone();
    // The "remove" event must go out while the sysfs entry still exists.
    if (sendEvent && hasRecord)
        umockdev_testbed_uevent(testbed, e.sysPath.c_str(), "remove");
    if (hasRecord)
        umockdev_testbed_remove_device(testbed, e.sysPath.c_str());
    if (e.usbfs) {
        GError* error = nullptr;
        if (!umockdev_testbed_detach_ioctl(testbed, e.devNode.c_str(), &error))
            g_error_free(error);
        retired.push_back(std::move(e.usbfs));
        // umockdev leaves the node behind; a pulled-out device has none.
        ::unlink((root + e.devNode).c_str());
        e.devNode.clear();
    }
    if (e.IsPipe()) {
        e.fromHost.Close();
        e.toHost.Close();
        e.outbox.clear();
        ::unlink((e.pipeDir + "/PIPE01").c_str());
        ::unlink((e.pipeDir + "/PIPE00").c_str());
        ::rmdir(e.pipeDir.c_str());
    }
    e.engine.Reset();
    Wake();
}

// Pipe-file device: whatever the host wrote is one command for the engine; ready replies go
// into PIPE00 as they become ready.
void TSimTestbed::TImpl::ServePipe(Entry& e, bool readable) {
    const auto now = TSimLinkDevice::Clock::now();
    if (readable) {
        std::vector<std::uint8_t> buf(kPipeChunk);
        const ssize_t n = ::read(e.fromHost.Get(), buf.data(), buf.size());
        if (n > 0) {
            buf.resize(static_cast<std::size_t>(n));
            // A FIFO cannot fail the host's write without racing it; a failing transfer loses
            // the command instead, and the host's read finds no reply.
            if (e.engine.HostWrite(buf, now) == TSimTransfer::Unplug) {
                UnplugLocked(e, true);
                if (unplugObserver)
                    unplugObserver(e.engine.Config().Name);
                return;
            }
        }
    }
    std::vector<std::uint8_t> reply;
    while (e.engine.TakeReadyReply(now, reply))
        e.outbox.insert(e.outbox.end(), reply.begin(), reply.end());
    while (!e.outbox.empty()) {
        const ssize_t n = ::write(e.toHost.Get(), e.outbox.data(), e.outbox.size());
        if (n <= 0)
            break; // FIFO full: poll for room
        e.outbox.erase(e.outbox.begin(), e.outbox.begin() + n);
    }
}

void TSimTestbed::TImpl::Serve() {
    while (!stopping) {
        std::vector<pollfd> fds{{wake.Get(), POLLIN, 0}};
        std::vector<Entry*> owners{nullptr};
        int timeoutMs = -1;
        {
            std::lock_guard lock(mutex);
            const auto now = TSimLinkDevice::Clock::now();
            for (auto& e : devices) {
                if (e->unplugRequested.exchange(false)) {
                    // A mid-transfer unplug of a libusb device, fired on umockdev's thread.
                    if (e->plugged) {
                        UnplugLocked(*e, true);
                        if (unplugObserver)
                            unplugObserver(e->engine.Config().Name);
                    }
                    continue;
                }
                if (!e->plugged || !e->IsPipe())
                    continue;
                fds.push_back({e->fromHost.Get(), POLLIN, 0});
                owners.push_back(e.get());
                if (!e->outbox.empty()) {
                    fds.push_back({e->toHost.Get(), POLLOUT, 0});
                    owners.push_back(e.get());
                }
                if (auto at = e->engine.NextReplyAt()) {
                    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(*at - now).count();
                    const int wait = static_cast<int>(std::clamp<long long>(ms, 0, 60000));
                    timeoutMs = timeoutMs < 0 ? wait : std::min(timeoutMs, wait);
                }
            }
        }
        const int r = ::poll(fds.data(), fds.size(), timeoutMs);
        if (r < 0 && errno != EINTR)
            break;
        if (fds[0].revents & POLLIN) {
            std::uint64_t count;
            [[maybe_unused]] auto n = ::read(wake.Get(), &count, sizeof count);
        }
        std::lock_guard lock(mutex);
        for (std::size_t i = 1; i < fds.size(); ++i) {
            Entry* e = owners[i];
            // The device may have been unplugged (and its descriptors closed) meanwhile.
            if (!e->plugged || (e->fromHost.Get() != fds[i].fd && e->toHost.Get() != fds[i].fd))
                continue;
            ServePipe(*e, fds[i].fd == e->fromHost.Get() && (fds[i].revents & POLLIN));
        }
    }
}

TSimTestbed::TSimTestbed() : impl_(std::make_unique<TImpl>()) {
    impl_->testbed = umockdev_testbed_new();
    if (!impl_->testbed)
        throw std::runtime_error("umockdev cannot create a testbed");
    gchar* root = umockdev_testbed_get_root_dir(impl_->testbed);
    impl_->root = root;
    g_free(root);
    if (::mkdir((impl_->root + "/pipes").c_str(), 0700) != 0 && errno != EEXIST) {
        g_object_unref(impl_->testbed);
        throw std::runtime_error("cannot create the pipe folder in " + impl_->root);
    }
    impl_->wake = TUniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!impl_->wake.Valid()) {
        g_object_unref(impl_->testbed);
        throw std::runtime_error("cannot create an eventfd");
    }
    impl_->service = std::thread([impl = impl_.get()] { impl->Serve(); });
}

TSimTestbed::~TSimTestbed() {
    impl_->stopping = true;
    impl_->Wake();
    if (impl_->service.joinable())
        impl_->service.join();
    {
        std::lock_guard lock(impl_->mutex);
        for (auto& e : impl_->devices)
            impl_->UnplugLocked(*e, false);
        ::rmdir((impl_->root + "/pipes").c_str());
    }
    // Finalising the testbed stops umockdev's worker and removes the root folder; only then
    // may the handlers it called go.
    g_object_unref(impl_->testbed);
    impl_->retired.clear();
}

bool TSimTestbed::AddDevice(const TSimDeviceConfig& config) {
    std::lock_guard lock(impl_->mutex);
    std::string error;
    if (!SimConfigValid(config, error) || impl_->Find(config.Name))
        return false;
    auto e = std::make_unique<TImpl::Entry>(config);
    const std::size_t index = impl_->devices.size();
    e->bus = static_cast<unsigned>(1 + index / kPortsPerBus);
    e->port = std::to_string(e->bus) + "-" + std::to_string(1 + index % kPortsPerBus);
    e->sysPath =
        "/sys/devices/pci0000:00/0000:00:14.0/usb" + std::to_string(e->bus) + "/" + e->port;
    if (e->IsPipe()) {
        const std::string instance = config.Instance.empty() ? e->port : config.Instance;
        e->pipeDir = impl_->root + "/pipes/" + SimLinkNameComponent(config, instance);
    }
    TImpl::Entry& entry = *e;
    impl_->devices.push_back(std::move(e));
    if (config.Plugged && !impl_->PlugLocked(entry)) {
        impl_->devices.pop_back();
        return false;
    }
    return true;
}

bool TSimTestbed::Plug(std::string_view name) {
    std::lock_guard lock(impl_->mutex);
    TImpl::Entry* e = impl_->Find(name);
    return e && impl_->PlugLocked(*e);
}

bool TSimTestbed::Unplug(std::string_view name) {
    std::lock_guard lock(impl_->mutex);
    TImpl::Entry* e = impl_->Find(name);
    if (!e || !e->plugged)
        return false;
    impl_->UnplugLocked(*e, true);
    return true;
}

bool TSimTestbed::IsPlugged(std::string_view name) const {
    std::lock_guard lock(impl_->mutex);
    const TImpl::Entry* e = impl_->Find(name);
    return e && e->plugged;
}

TSimLinkDevice* TSimTestbed::Device(std::string_view name) const {
    std::lock_guard lock(impl_->mutex);
    TImpl::Entry* e = impl_->Find(name);
    return e ? &e->engine : nullptr;
}

std::vector<std::string> TSimTestbed::DeviceNames() const {
    std::lock_guard lock(impl_->mutex);
    std::vector<std::string> names;
    for (auto& e : impl_->devices)
        names.push_back(e->engine.Config().Name);
    return names;
}

std::string TSimTestbed::SysPath(std::string_view name) const {
    std::lock_guard lock(impl_->mutex);
    const TImpl::Entry* e = impl_->Find(name);
    return e ? e->sysPath : std::string();
}

std::string TSimTestbed::DevNode(std::string_view name) const {
    std::lock_guard lock(impl_->mutex);
    const TImpl::Entry* e = impl_->Find(name);
    return e && e->plugged ? e->devNode : std::string();
}

std::string TSimTestbed::PipeDir(std::string_view name) const {
    std::lock_guard lock(impl_->mutex);
    const TImpl::Entry* e = impl_->Find(name);
    return e ? e->pipeDir : std::string();
}

std::string TSimTestbed::LinkName(std::string_view name) const {
    std::lock_guard lock(impl_->mutex);
    const TImpl::Entry* e = impl_->Find(name);
    if (!e)
        return {};
    if (e->IsPipe())
        return e->pipeDir;
    const TSimDeviceConfig& c = e->engine.Config();
    return SimLinkNameComponent(c, c.Instance.empty() ? e->port : c.Instance);
}

bool TSimTestbed::PreloadActive() {
    bool found = false;
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
            if (info->dlpi_name && std::strstr(info->dlpi_name, "libumockdev-preload"))
                *static_cast<bool*>(data) = true;
            return 0;
        },
        &found);
    return found;
}

std::string TSimTestbed::RootDir() const {
    return impl_->root;
}

void TSimTestbed::SetUnplugObserver(std::function<void(const std::string& name)> observer) {
    std::lock_guard lock(impl_->mutex);
    impl_->unplugObserver = std::move(observer);
}
