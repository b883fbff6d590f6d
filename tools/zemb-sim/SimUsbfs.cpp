// SPDX-License-Identifier: MIT
// usbfs as libusb sees it, answered for one simulated link device.
#include "SimUsbfs.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>
#include <utility>

namespace {
constexpr std::uint8_t kEndpointIn = 0x81;
constexpr std::uint8_t kEndpointOut = 0x02;
constexpr int kUsbSpeedHigh = 3; // USB_SPEED_HIGH of the kernel's enumeration
constexpr std::uint32_t kCapabilities = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                        USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                        USBDEVFS_CAP_BULK_SCATTER_GATHER;

struct DataRef {
    UMockdevIoctlData* p = nullptr;
    DataRef() = default;
    explicit DataRef(UMockdevIoctlData* data) : p(data) {}
    DataRef(const DataRef&) = delete;
    DataRef& operator=(const DataRef&) = delete;
    ~DataRef() {
        if (p)
            umockdev_ioctl_data_unref(p);
    }
    UMockdevIoctlData* Take() { return std::exchange(p, nullptr); }
};

UMockdevIoctlData* Resolve(UMockdevIoctlData* data, std::size_t offset, std::size_t length) {
    GError* error = nullptr;
    UMockdevIoctlData* r = umockdev_ioctl_data_resolve(data, offset, length, &error);
    if (error)
        g_error_free(error);
    return r;
}

void Update(UMockdevIoctlData* data, std::size_t offset, const void* bytes, std::size_t length) {
    if (length == 0)
        return;
    umockdev_ioctl_data_update(data, offset, static_cast<guint8*>(const_cast<void*>(bytes)),
                               static_cast<gint>(length));
}

std::string ProductText(const TSimDeviceConfig& c) {
    if (!c.Description.empty())
        return c.Description;
    if (!c.FriendlyName.empty())
        return c.FriendlyName;
    return c.Name;
}

void Put16(std::vector<std::uint8_t>& v, unsigned value) {
    v.push_back(static_cast<std::uint8_t>(value & 0xFFu));
    v.push_back(static_cast<std::uint8_t>((value >> 8) & 0xFFu));
}
} // namespace

std::vector<std::uint8_t> SimUsbDescriptors(const TSimDeviceConfig& c) {
    std::vector<std::uint8_t> d = {18, 1};
    Put16(d, 0x0200); // bcdUSB
    d.insert(d.end(), {0x00, 0x00, 0x00, 64});
    Put16(d, c.VendorId);
    Put16(d, c.ProductId);
    Put16(d, c.Firmware); // bcdDevice
    d.insert(d.end(), {1, 2, static_cast<std::uint8_t>(c.Instance.empty() ? 0 : 3), 1});
    // Configuration 1: one interface, vendor class, two bulk endpoints of 512 bytes.
    d.insert(d.end(), {9, 2, 32, 0, 1, 1, 0, 0x80, 50});
    d.insert(d.end(), {9, 4, 0, 0, 2, 0xFF, 0x00, 0x00, 0});
    d.insert(d.end(), {7, 5, kEndpointIn, 0x02, 0x00, 0x02, 0});
    d.insert(d.end(), {7, 5, kEndpointOut, 0x02, 0x00, 0x02, 0});
    return d;
}

std::vector<std::uint8_t> SimUsbStringDescriptor(const TSimDeviceConfig& c, std::uint8_t index) {
    std::string text;
    switch (index) {
    case 0:
        return {4, 3, 0x09, 0x04};
    case 1:
        text = "ZEMB simulated link";
        break;
    case 2:
        text = ProductText(c);
        break;
    case 3:
        if (c.Instance.empty())
            return {};
        text = c.Instance;
        break;
    default:
        return {};
    }
    text.resize(std::min<std::size_t>(text.size(), 126));
    std::vector<std::uint8_t> d = {static_cast<std::uint8_t>(2 + 2 * text.size()), 3};
    for (char ch : text)
        Put16(d, static_cast<unsigned char>(ch));
    return d;
}

TSimUsbfsHandler::TSimUsbfsHandler(TSimLinkDevice& device, unsigned devnum,
                                   std::function<void()> onUnplugFault)
    : device_(device), devnum_(devnum), onUnplugFault_(std::move(onUnplugFault)),
      base_(umockdev_ioctl_base_new()), descriptors_(SimUsbDescriptors(device.Config())) {
    g_signal_connect(base_, "handle-ioctl", G_CALLBACK(&TSimUsbfsHandler::OnIoctl), this);
    g_signal_connect(base_, "handle-read", G_CALLBACK(&TSimUsbfsHandler::OnRead), this);
}

TSimUsbfsHandler::~TSimUsbfsHandler() {
    g_signal_handlers_disconnect_by_data(base_, this);
    g_object_unref(base_);
    if (retry_) {
        g_source_destroy(retry_);
        g_source_unref(retry_);
    }
    for (auto& entry : files_)
        g_object_unref(entry.first);
    for (auto& u : pending_)
        Release(*u);
    for (auto& u : completed_)
        Release(*u);
}

void TSimUsbfsHandler::Release(Urb& urb) {
    if (urb.buffer)
        umockdev_ioctl_data_unref(std::exchange(urb.buffer, nullptr));
    if (urb.data)
        umockdev_ioctl_data_unref(std::exchange(urb.data, nullptr));
}

void TSimUsbfsHandler::Gone() {
    std::lock_guard lock(mutex_);
    gone_ = true;
    for (auto& u : pending_) {
        u->status = -ENODEV;
        u->actualLength = 0;
        completed_.push_back(std::move(u));
    }
    pending_.clear();
}

int TSimUsbfsHandler::OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
    static_cast<TSimUsbfsHandler*>(self)->HandleIoctl(client);
    return TRUE;
}

int TSimUsbfsHandler::OnRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
    auto* h = static_cast<TSimUsbfsHandler*>(self);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    std::lock_guard lock(h->mutex_);
    if (h->gone_) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    // A file reads the descriptors from the start. libusb seeks back to the start before it
    // reads them again, which umockdev does not pass on: a read at the end returns 0 and the
    // next one starts over.
    std::size_t& offset = h->FileLocked(client).readOffset;
    const std::size_t left = offset < h->descriptors_.size() ? h->descriptors_.size() - offset : 0;
    const std::size_t n = std::min<std::size_t>(left, static_cast<std::size_t>(arg->data_len));
    Update(arg, 0, h->descriptors_.data() + offset, n);
    offset = n == 0 ? 0 : offset + n;
    umockdev_ioctl_client_complete(client, static_cast<glong>(n), 0);
    return TRUE;
}

TSimUsbfsHandler::File& TSimUsbfsHandler::FileLocked(UMockdevIoctlClient* client) {
    auto [it, added] = files_.try_emplace(client);
    if (added) {
        g_object_ref(client);
        SweepLocked(); // a new file is a good moment to let go of the closed ones
    }
    return it->second;
}

void TSimUsbfsHandler::SweepLocked() {
    for (auto it = files_.begin(); it != files_.end();) {
        UMockdevIoctlClient* client = (it++)->first;
        if (!umockdev_ioctl_client_get_connected(client))
            ForgetLocked(client);
    }
}

void TSimUsbfsHandler::ForgetLocked(UMockdevIoctlClient* client) {
    const auto it = files_.find(client);
    if (it == files_.end())
        return;
    // The file was closed: its URBs die with it (they point into its memory, which another
    // file's reap must never see), and so do its claim and a claim it was waiting for.
    if (claimant_ == client)
        claimant_ = nullptr;
    for (auto* list : {&pending_, &completed_}) {
        std::erase_if(*list, [&](const std::unique_ptr<Urb>& u) {
            if (u->client != client)
                return false;
            Release(*u);
            return true;
        });
    }
    std::erase_if(waitingClaims_, [&](const WaitingClaim& w) { return w.client == client; });
    files_.erase(it);
    g_object_unref(client);
}

// usbfs claims the interface for the file that first uses it; another file gets EBUSY.
bool TSimUsbfsHandler::ClaimLocked(UMockdevIoctlClient* client) {
    if (claimant_ && claimant_ != client)
        return false;
    claimant_ = client;
    return true;
}

bool TSimUsbfsHandler::TakeClaimLocked(UMockdevIoctlClient* client) {
    if (ClaimLocked(client))
        return true;
    SweepLocked(); // the holder may have closed its file already
    return ClaimLocked(client);
}

void TSimUsbfsHandler::WaitForClaimLocked(UMockdevIoctlClient* client) {
    waitingClaims_.push_back({client, std::chrono::steady_clock::now() + kClaimGrace});
    if (retry_)
        return;
    GMainContext* context = g_main_context_ref_thread_default();
    retry_ = g_timeout_source_new(static_cast<guint>(kClaimRetry.count()));
    g_source_set_callback(retry_, &TSimUsbfsHandler::OnRetryClaims, this, nullptr);
    g_source_attach(retry_, context);
    g_main_context_unref(context);
}

int TSimUsbfsHandler::OnRetryClaims(void* self) {
    auto* h = static_cast<TSimUsbfsHandler*>(self);
    std::lock_guard lock(h->mutex_);
    const auto now = std::chrono::steady_clock::now();
    h->SweepLocked();
    std::erase_if(h->waitingClaims_, [&](const WaitingClaim& w) {
        if (h->gone_)
            umockdev_ioctl_client_complete(w.client, -1, ENODEV);
        else if (h->ClaimLocked(w.client))
            umockdev_ioctl_client_complete(w.client, 0, 0);
        else if (now >= w.until)
            umockdev_ioctl_client_complete(w.client, -1, EBUSY);
        else
            return false;
        return true;
    });
    if (!h->waitingClaims_.empty())
        return G_SOURCE_CONTINUE;
    g_source_unref(std::exchange(h->retry_, nullptr));
    return G_SOURCE_REMOVE;
}

void TSimUsbfsHandler::HandleIoctl(UMockdevIoctlClient* client) {
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    {
        std::lock_guard lock(mutex_);
        FileLocked(client);
        if (gone_ && request != USBDEVFS_REAPURBNDELAY && request != USBDEVFS_REAPURB) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return;
        }
    }
    switch (request) {
    case USBDEVFS_SUBMITURB:
        Submit(client);
        return;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        Reap(client);
        return;
    case USBDEVFS_DISCARDURB:
        Discard(client);
        return;
    case USBDEVFS_CONTROL:
        Control(client);
        return;
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE: {
        DataRef number(Resolve(arg, 0, sizeof(unsigned int)));
        unsigned int iface = 0;
        if (number.p)
            std::memcpy(&iface, number.p->data, sizeof iface);
        std::lock_guard lock(mutex_);
        if (!number.p || iface != 0) {
            umockdev_ioctl_client_complete(client, -1, number.p ? ENOENT : EFAULT);
        } else if (request == USBDEVFS_CLAIMINTERFACE) {
            if (TakeClaimLocked(client))
                umockdev_ioctl_client_complete(client, 0, 0);
            else
                WaitForClaimLocked(client);
        } else if (claimant_ != client) {
            umockdev_ioctl_client_complete(client, -1, EINVAL);
        } else {
            claimant_ = nullptr;
            umockdev_ioctl_client_complete(client, 0, 0);
        }
        return;
    }
    case USBDEVFS_GET_CAPABILITIES: {
        DataRef caps(Resolve(arg, 0, sizeof(std::uint32_t)));
        if (!caps.p) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return;
        }
        Update(caps.p, 0, &kCapabilities, sizeof kCapabilities);
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
    }
    case USBDEVFS_GET_SPEED:
        umockdev_ioctl_client_complete(client, kUsbSpeedHigh, 0);
        return;
    case USBDEVFS_CONNECTINFO: {
        DataRef info(Resolve(arg, 0, sizeof(usbdevfs_connectinfo)));
        if (!info.p) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return;
        }
        usbdevfs_connectinfo ci{};
        ci.devnum = devnum_;
        ci.slow = 0;
        Update(info.p, 0, &ci, sizeof ci);
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
    }
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
    case USBDEVFS_RESET:
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
    case USBDEVFS_IOCTL:
        // GETDRIVER/DISCONNECT through the generic ioctl: no kernel driver is bound.
        umockdev_ioctl_client_complete(client, -1, ENODATA);
        return;
    default:
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return;
    }
}

void TSimUsbfsHandler::Submit(UMockdevIoctlClient* client) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    auto urb = std::make_unique<Urb>();
    urb->client = client;
    urb->data = Resolve(arg, 0, sizeof(usbdevfs_urb));
    if (!urb->data) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    usbdevfs_urb record;
    std::memcpy(&record, urb->data->data, sizeof record);
    if (record.buffer_length < 0) {
        Release(*urb);
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    urb->endpoint = record.endpoint;
    urb->length = static_cast<std::uint32_t>(record.buffer_length);
    if (urb->length > 0) {
        urb->buffer = Resolve(urb->data, offsetof(usbdevfs_urb, buffer), urb->length);
        if (!urb->buffer) {
            Release(*urb);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return;
        }
    }
    std::lock_guard lock(mutex_);
    if (record.type == USBDEVFS_URB_TYPE_CONTROL && record.endpoint == 0 && urb->length >= 8) {
        std::uint8_t setup[8];
        std::memcpy(setup, urb->buffer->data, sizeof setup);
        CompleteControl(*urb, setup, urb->length - 8);
        completed_.push_back(std::move(urb));
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
    }
    if (record.type != USBDEVFS_URB_TYPE_BULK ||
        (urb->endpoint != kEndpointIn && urb->endpoint != kEndpointOut)) {
        Release(*urb);
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    if (!TakeClaimLocked(client)) {
        Release(*urb);
        umockdev_ioctl_client_complete(client, -1, EBUSY);
        return;
    }
    if (urb->endpoint == kEndpointIn) {
        pending_.push_back(std::move(urb));
        PollPendingLocked();
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
    }
    const auto* bytes = urb->buffer ? urb->buffer->data : nullptr;
    const TSimTransfer result = device_.HostWrite(std::span<const std::uint8_t>(bytes, urb->length),
                                                  TSimLinkDevice::Clock::now());
    switch (result) {
    case TSimTransfer::Done:
        urb->status = 0;
        urb->actualLength = static_cast<int>(urb->length);
        break;
    case TSimTransfer::Failed:
        urb->status = -EPROTO;
        urb->actualLength = 0;
        break;
    case TSimTransfer::Unplug:
        // The command went out; the device vanishes before it answers.
        urb->status = 0;
        urb->actualLength = static_cast<int>(urb->length);
        break;
    }
    completed_.push_back(std::move(urb));
    umockdev_ioctl_client_complete(client, 0, 0);
    if (result == TSimTransfer::Unplug) {
        gone_ = true;
        for (auto& u : pending_) {
            u->status = -ENODEV;
            completed_.push_back(std::move(u));
        }
        pending_.clear();
        if (onUnplugFault_)
            onUnplugFault_();
    }
}

// Moves the oldest waiting IN URB to the completed list when its reply is there (or when a
// failing-transfer fault takes it). Replies are packets: one URB, at most one reply.
void TSimUsbfsHandler::PollPendingLocked() {
    while (!pending_.empty()) {
        Urb& urb = *pending_.front();
        std::vector<std::uint8_t> bytes;
        const auto result = device_.HostRead(urb.length, bytes, TSimLinkDevice::Clock::now());
        if (result == TSimTransfer::Failed) {
            urb.status = -EPROTO;
            urb.actualLength = 0;
        } else if (bytes.empty()) {
            return;
        } else {
            urb.status = 0;
            urb.actualLength = static_cast<int>(bytes.size());
            urb.in = std::move(bytes);
        }
        completed_.push_back(std::move(pending_.front()));
        pending_.erase(pending_.begin());
    }
}

void TSimUsbfsHandler::Reap(UMockdevIoctlClient* client) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    std::unique_ptr<Urb> urb;
    {
        std::lock_guard lock(mutex_);
        if (!gone_)
            PollPendingLocked();
        auto it = std::find_if(completed_.begin(), completed_.end(),
                               [&](const auto& u) { return u->client == client; });
        if (it == completed_.end()) {
            umockdev_ioctl_client_complete(client, -1, gone_ ? ENODEV : EAGAIN);
            return;
        }
        urb = std::move(*it);
        completed_.erase(it);
    }
    DataRef slot(Resolve(arg, 0, sizeof(void*)));
    if (!slot.p) {
        Release(*urb);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    if (urb->buffer && !urb->in.empty())
        Update(urb->buffer, 0, urb->in.data(), std::min<std::size_t>(urb->in.size(), urb->length));
    Update(urb->data, offsetof(usbdevfs_urb, status), &urb->status, sizeof urb->status);
    Update(urb->data, offsetof(usbdevfs_urb, actual_length), &urb->actualLength,
           sizeof urb->actualLength);
    umockdev_ioctl_data_set_ptr(slot.p, 0, urb->data);
    umockdev_ioctl_client_complete(client, 0, 0);
    Release(*urb);
}

void TSimUsbfsHandler::Discard(UMockdevIoctlClient* client) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    // The argument is the URB's address itself.
    gulong address = 0;
    std::memcpy(&address, arg->data, std::min<std::size_t>(sizeof address, arg->data_len));
    std::lock_guard lock(mutex_);
    auto it = std::find_if(pending_.begin(), pending_.end(), [&](const auto& u) {
        return u->client == client && u->data->client_addr == address;
    });
    if (it == pending_.end()) {
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    (*it)->status = -ENOENT;
    (*it)->actualLength = 0;
    completed_.push_back(std::move(*it));
    pending_.erase(it);
    umockdev_ioctl_client_complete(client, 0, 0);
}

// Standard requests on endpoint 0: the descriptors and the active configuration. Anything
// else stalls, as a device without vendor requests does.
void TSimUsbfsHandler::CompleteControl(Urb& urb, const std::uint8_t* setup,
                                       std::uint32_t dataLength) {
    const std::uint8_t requestType = setup[0];
    const std::uint8_t request = setup[1];
    const unsigned value = setup[2] | (setup[3] << 8);
    const unsigned wLength = setup[6] | (setup[7] << 8);
    std::vector<std::uint8_t> reply;
    bool ok = false;
    if (requestType == 0x80 && request == 6) { // GET_DESCRIPTOR
        const unsigned type = value >> 8;
        const unsigned index = value & 0xFFu;
        if (type == 1) {
            reply.assign(descriptors_.begin(), descriptors_.begin() + 18);
            ok = true;
        } else if (type == 2 && index == 0) {
            reply.assign(descriptors_.begin() + 18, descriptors_.end());
            ok = true;
        } else if (type == 3) {
            reply = SimUsbStringDescriptor(device_.Config(), static_cast<std::uint8_t>(index));
            ok = !reply.empty();
        }
    } else if (requestType == 0x80 && request == 8) { // GET_CONFIGURATION
        reply = {1};
        ok = true;
    }
    if (!ok) {
        urb.status = -EPIPE;
        urb.actualLength = 0;
        return;
    }
    reply.resize(std::min<std::size_t>({reply.size(), wLength, dataLength}));
    urb.status = 0;
    urb.actualLength = static_cast<int>(reply.size());
    // The data stage follows the 8 setup bytes in the URB's buffer.
    urb.in.assign(setup, setup + 8);
    urb.in.insert(urb.in.end(), reply.begin(), reply.end());
}

void TSimUsbfsHandler::Control(UMockdevIoctlClient* client) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    DataRef record(Resolve(arg, 0, sizeof(usbdevfs_ctrltransfer)));
    if (!record.p) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    usbdevfs_ctrltransfer ct;
    std::memcpy(&ct, record.p->data, sizeof ct);
    const std::uint8_t setup[8] = {ct.bRequestType,
                                   ct.bRequest,
                                   static_cast<std::uint8_t>(ct.wValue & 0xFF),
                                   static_cast<std::uint8_t>(ct.wValue >> 8),
                                   static_cast<std::uint8_t>(ct.wIndex & 0xFF),
                                   static_cast<std::uint8_t>(ct.wIndex >> 8),
                                   static_cast<std::uint8_t>(ct.wLength & 0xFF),
                                   static_cast<std::uint8_t>(ct.wLength >> 8)};
    Urb urb;
    {
        std::lock_guard lock(mutex_);
        CompleteControl(urb, setup, ct.wLength);
    }
    if (urb.status != 0) {
        umockdev_ioctl_client_complete(client, -1, EPIPE);
        return;
    }
    if (urb.actualLength > 0) {
        DataRef data(Resolve(record.p, offsetof(usbdevfs_ctrltransfer, data), ct.wLength));
        if (!data.p) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return;
        }
        Update(data.p, 0, urb.in.data() + 8, static_cast<std::size_t>(urb.actualLength));
    }
    umockdev_ioctl_client_complete(client, urb.actualLength, 0);
}
