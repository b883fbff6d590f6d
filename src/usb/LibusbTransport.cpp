// SPDX-License-Identifier: MIT
#include "usb/LibusbTransport.h"

#include "usb/DeviceWorker.h"

#include <climits>
#include <libusb.h>
#include <mutex>

namespace {

// The process's libusb, loaded or not: devices open on their workers while the main thread may
// load or free it, so it is only reached under its lock.
std::mutex contextLock;
std::shared_ptr<libusb_context>& Context() {
    static std::shared_ptr<libusb_context> context;
    return context;
}

unsigned transferTimeoutMs = 5000;

bool BulkTransfer(const TWinUsbInterfaceHandle& handle, std::uint8_t endpoint, std::uint8_t* data,
                  std::uint32_t length, std::uint32_t& transferred,
                  unsigned timeoutMs = transferTimeoutMs) {
    transferred = 0;
    if (!handle.Valid() || length > static_cast<std::uint32_t>(INT_MAX))
        return false;
    int moved = 0;
    const int result = libusb_bulk_transfer(handle.Get(), endpoint, data, static_cast<int>(length),
                                            &moved, timeoutMs);
    transferred = moved > 0 ? static_cast<std::uint32_t>(moved) : 0;
    return result == 0;
}

} // namespace

TWinUsbInterfaceHandle::~TWinUsbInterfaceHandle() {
    Reset();
}

TWinUsbInterfaceHandle::TWinUsbInterfaceHandle(TWinUsbInterfaceHandle&& other) noexcept
    : context_(std::move(other.context_)), handle_(other.handle_) {
    other.handle_ = nullptr;
}

TWinUsbInterfaceHandle& TWinUsbInterfaceHandle::operator=(TWinUsbInterfaceHandle&& other) noexcept {
    if (this != &other) {
        Reset();
        context_ = std::move(other.context_);
        handle_ = other.handle_;
        other.handle_ = nullptr;
    }
    return *this;
}

void TWinUsbInterfaceHandle::Reset() {
    if (handle_ == nullptr)
        return;
    // On an unplugged device the release fails with NO_DEVICE; the handle goes all the same.
    libusb_release_interface(handle_, 0);
    libusb_close(handle_);
    handle_ = nullptr;
    context_.reset();
}

bool LoadWinUsbDll() {
    std::unique_lock lock(contextLock);
    if (Context())
        return true;
    // The devices are reached through their nodes, never through libusb's own device list.
    libusb_set_option(nullptr, LIBUSB_OPTION_NO_DEVICE_DISCOVERY);
    libusb_context* context = nullptr;
    if (libusb_init(&context) != 0 || context == nullptr) {
        lock.unlock(); // the operator's answer may take long
        DeviceShowError("Error: WINUSB.DLL could not be loaded !!");
        return false;
    }
    Context().reset(context, [](libusb_context* c) { libusb_exit(c); });
    return true;
}

bool WinUsbDllLoaded() {
    const std::lock_guard lock(contextLock);
    return Context() != nullptr;
}

void FreeWinUsbDll() {
    const std::lock_guard lock(contextLock);
    Context().reset();
}

bool WinUsb_Initialize(int DeviceHandle, TWinUsbInterfaceHandle& InterfaceHandle) {
    InterfaceHandle.Reset();
    if (!WinUsbDllLoaded() || DeviceHandle < 0)
        return false;
    // A context of its own per device: a synchronous transfer handles the events of every device
    // in its context and takes the context's event lock, so with one shared context each device's
    // transfer would poll and reap all the others' and wait for their workers.
    libusb_context* raw = nullptr;
    if (libusb_init(&raw) != 0 || raw == nullptr)
        return false;
    std::shared_ptr<libusb_context> context(raw, [](libusb_context* c) { libusb_exit(c); });
    libusb_device_handle* handle = nullptr;
    if (libusb_wrap_sys_device(context.get(), static_cast<intptr_t>(DeviceHandle), &handle) != 0 ||
        handle == nullptr)
        return false;
    if (libusb_claim_interface(handle, 0) != 0) {
        libusb_close(handle);
        return false;
    }
    InterfaceHandle.context_ = std::move(context);
    InterfaceHandle.handle_ = handle;
    return true;
}

bool WinUsb_QueryPipe(const TWinUsbInterfaceHandle& InterfaceHandle,
                      std::uint8_t AlternateInterfaceNumber, std::uint8_t PipeIndex,
                      WINUSB_PIPE_INFORMATION& PipeInformation) {
    if (!InterfaceHandle.Valid())
        return false;
    libusb_device* device = libusb_get_device(InterfaceHandle.Get());
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) != 0 &&
        libusb_get_config_descriptor(device, 0, &config) != 0)
        return false;
    std::unique_ptr<libusb_config_descriptor, decltype(&libusb_free_config_descriptor)> owned(
        config, &libusb_free_config_descriptor);
    if (config->bNumInterfaces < 1 ||
        config->interface[0].num_altsetting <= AlternateInterfaceNumber)
        return false;
    const libusb_interface_descriptor& setting =
        config->interface[0].altsetting[AlternateInterfaceNumber];
    if (PipeIndex >= setting.bNumEndpoints)
        return false;
    const libusb_endpoint_descriptor& endpoint = setting.endpoint[PipeIndex];
    PipeInformation.PipeType = endpoint.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK;
    PipeInformation.PipeId = endpoint.bEndpointAddress;
    PipeInformation.MaximumPacketSize = endpoint.wMaxPacketSize;
    PipeInformation.Interval = endpoint.bInterval;
    return true;
}

bool WinUsb_ReadPipe(const TWinUsbInterfaceHandle& InterfaceHandle, std::uint8_t PipeID,
                     std::uint8_t* Buffer, std::uint32_t BufferLength,
                     std::uint32_t& LengthTransferred) {
    return BulkTransfer(InterfaceHandle, PipeID, Buffer, BufferLength, LengthTransferred);
}

bool WinUsb_WritePipe(const TWinUsbInterfaceHandle& InterfaceHandle, std::uint8_t PipeID,
                      const std::uint8_t* Buffer, std::uint32_t BufferLength,
                      std::uint32_t& LengthTransferred) {
    // libusb takes a non-const buffer for both directions; an OUT transfer only reads it.
    return BulkTransfer(InterfaceHandle, PipeID, const_cast<std::uint8_t*>(Buffer), BufferLength,
                        LengthTransferred);
}

std::uint32_t WinUsb_DrainPipe(const TWinUsbInterfaceHandle& InterfaceHandle, std::uint8_t PipeID,
                               std::uint8_t* Buffer, std::uint32_t BufferLength,
                               unsigned TimeoutMs) {
    // A time-out is the expected end of a drain; bytes that came before it still count.
    std::uint32_t moved = 0;
    BulkTransfer(InterfaceHandle, PipeID, Buffer, BufferLength, moved, TimeoutMs);
    return moved;
}

void WinUsb_Free(TWinUsbInterfaceHandle& InterfaceHandle) {
    InterfaceHandle.Reset();
}

unsigned WinUsbTransferTimeoutMs() {
    return transferTimeoutMs;
}
void SetWinUsbTransferTimeoutMs(unsigned ms) {
    transferTimeoutMs = ms;
}
