// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <memory>

// The WinUSB stand-in over libusb. "Loading the library" creates the process's libusb context
// once (the check that libusb works); the interface handle is a libusb device handle, in a
// context of its own, wrapped around an opened device node (libusb_wrap_sys_device) with
// interface 0 claimed. Pipes are bulk endpoints. Every call
// blocks the calling thread until libusb returns; a bulk transfer waits at most
// WinUsbTransferTimeoutMs() for the device.

struct libusb_context;
struct libusb_device_handle;

struct WINUSB_PIPE_INFORMATION {
    std::uint32_t PipeType = 0;
    std::uint8_t PipeId = 0;
    std::uint16_t MaximumPacketSize = 0;
    std::uint8_t Interval = 0;
};

inline constexpr std::uint32_t UsbdPipeTypeBulk = 2;

// An interface handle: empty (the "-1" of the device model) or a wrapped device with
// interface 0 claimed. Releasing it releases the interface and closes the libusb handle; the
// device node's descriptor stays with its owner. A handle owns its own libusb context, so
// transfers on different devices never share libusb's event handling, and the order in which
// handles and the process's context go at shutdown does not matter.
class TWinUsbInterfaceHandle {
public:
    TWinUsbInterfaceHandle() = default;
    ~TWinUsbInterfaceHandle();
    TWinUsbInterfaceHandle(TWinUsbInterfaceHandle&&) noexcept;
    TWinUsbInterfaceHandle& operator=(TWinUsbInterfaceHandle&&) noexcept;

    bool Valid() const { return handle_ != nullptr; }
    libusb_device_handle* Get() const { return handle_; }
    void Reset();

private:
    friend bool WinUsb_Initialize(int DeviceHandle, TWinUsbInterfaceHandle& InterfaceHandle);
    std::shared_ptr<libusb_context> context_;
    libusb_device_handle* handle_ = nullptr;
};

// Creates the libusb context once; true while it exists. On failure shows
// "Error: WINUSB.DLL could not be loaded !!" through the operator-message seam, every time.
bool LoadWinUsbDll();
bool WinUsbDllLoaded();
// Lets go of the context (at host shutdown); it is destroyed with the last interface handle.
void FreeWinUsbDll();

// Wraps the opened device node and claims interface 0. False on any failure (nothing held).
bool WinUsb_Initialize(int DeviceHandle, TWinUsbInterfaceHandle& InterfaceHandle);
// Pipe PipeIndex of the alternate setting, from the interface descriptor.
bool WinUsb_QueryPipe(const TWinUsbInterfaceHandle& InterfaceHandle,
                      std::uint8_t AlternateInterfaceNumber, std::uint8_t PipeIndex,
                      WINUSB_PIPE_INFORMATION& PipeInformation);
// Synchronous bulk transfers; LengthTransferred is what moved, also on failure.
bool WinUsb_ReadPipe(const TWinUsbInterfaceHandle& InterfaceHandle, std::uint8_t PipeID,
                     std::uint8_t* Buffer, std::uint32_t BufferLength,
                     std::uint32_t& LengthTransferred);
bool WinUsb_WritePipe(const TWinUsbInterfaceHandle& InterfaceHandle, std::uint8_t PipeID,
                      const std::uint8_t* Buffer, std::uint32_t BufferLength,
                      std::uint32_t& LengthTransferred);
// One bulk read that waits at most TimeoutMs: the bytes that came, 0 on a time-out or failure.
std::uint32_t WinUsb_DrainPipe(const TWinUsbInterfaceHandle& InterfaceHandle, std::uint8_t PipeID,
                               std::uint8_t* Buffer, std::uint32_t BufferLength,
                               unsigned TimeoutMs);
void WinUsb_Free(TWinUsbInterfaceHandle& InterfaceHandle);

// The bulk-transfer time-out (default 5000 ms); tests shorten it.
unsigned WinUsbTransferTimeoutMs();
void SetWinUsbTransferTimeoutMs(unsigned ms);
