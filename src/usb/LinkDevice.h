// SPDX-License-Identifier: MIT
#pragma once

#include "base/UniqueFd.h"
#include "contract/Enumerations.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The device layer speaks the contract's enumerations.
using ZEMB::TUSB_DeviceDriver;
using ZEMB::TUSBClientAppType;
using ZEMB::TUSBDevMode;
using ZEMB::TUSBDevType;
using enum ZEMB::TUSBClientAppType;
using enum ZEMB::TUSBDevMode;
using enum ZEMB::TUSBDevType;
using enum ZEMB::TUSB_DeviceDriver;
using ZEMB::DeviceDriverCount;
using ZEMB::DevTypeCount;
using ZEMB::FirmwareText;
using ZEMB::FromText;
using ZEMB::ToText;

// A 16-byte GUID in the usual layout (first three groups stored least significant byte first
// on the wire; here as integers).
struct TGUID {
    std::uint32_t D1 = 0;
    std::uint16_t D2 = 0;
    std::uint16_t D3 = 0;
    std::array<std::uint8_t, 8> D4{};

    friend bool operator==(const TGUID&, const TGUID&) = default;
    // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case.
    std::string ToString() const;
    // Accepts the braced form in either letter case; none for anything else.
    static std::optional<TGUID> FromString(std::string_view text);
    // The 16 bytes in the usual layout.
    std::array<std::uint8_t, 16> Bytes() const;
};

// The interface class searched by each cell of the grid. Rows 2 to 4 repeat row 0.
const TGUID& InterfaceGUIDOf(TUSBDevType row, TUSB_DeviceDriver column);

// Log groups of this layer.
inline constexpr std::string_view LogGroupComm = "RUVAzerComm";
inline constexpr std::string_view LogGroupNabto = "Nabto";

// Link command and reply codes.
inline constexpr std::uint8_t TX_RAM_TOTAL_MSG = 0x09;
inline constexpr std::uint8_t RX_RAM_TOTAL_MSG = 0x08;
inline constexpr std::uint8_t TX_GET_VER_MSG = 0x13;
inline constexpr std::uint8_t RX_GET_VER_ACK_MSG = 0x14;
inline constexpr std::uint8_t TX_GET_DEV_MSG = 0x18;
inline constexpr std::uint8_t RX_GET_DEV_MSG = 0x19;
inline constexpr std::uint8_t TX_ENABLE_EEP_WRITE_MSG = 0x1C;
inline constexpr std::uint8_t RX_ENABLE_EEP_WRITE_ACK_MSG = 0x1D;

// The USB identifiers of the Brisk boxes as they stand in a device path.
inline constexpr std::string_view BriskVidPid = "vid_10c4&pid_83cc";

class TUSB_IFDeviceCollection;

// Everything known about one attached link device. It belongs to exactly one collection at a
// time and can be moved to another one as the same object (SetCollection); the collection
// owns it. Used on the main thread, except that its transfers may run on the device's worker
// (usb/DeviceWorker.h) while the main thread leaves the object alone; every operation blocks
// the thread it runs on until the device answers.
class TUSB_IFDeviceBase {
public:
    TUSB_IFDeviceBase();
    virtual ~TUSB_IFDeviceBase();
    TUSB_IFDeviceBase(const TUSB_IFDeviceBase&) = delete;
    TUSB_IFDeviceBase& operator=(const TUSB_IFDeviceBase&) = delete;

    std::string LinkName;
    std::string FriendlyName;
    std::string SerialNumber;
    std::string VidPid;
    std::string GUID_;
    TUSBDevType DevType = dtNotRecognized;
    std::int32_t DevID = 0;
    std::uint8_t App_ID_Hardware_Revision = 0;
    std::uint16_t Meas_App_FPGA_Rev = 0;
    std::string UserDeviceName;
    std::uint16_t Firmware = 0;
    std::int32_t TotalBufferSize = 0;
    // The opened device path (libusb: the device node; pipe-file driver: the device folder).
    TUniqueFd Handle;
    TUSB_DeviceDriver DriverType = ddSilabs;

    // True while the device is open (Handle held).
    bool Active() const { return Handle.Valid(); }

    virtual bool GetDevInfo() = 0;
    virtual bool OpenDevice() = 0;
    // What an open needs of the process, done on the main thread before the open itself runs
    // on the device's worker (the libusb transport loads libusb there, which may tell the
    // operator it could not); false when the open cannot succeed.
    virtual bool ReadyToOpen() { return true; }
    // True if the device handle was closed; false on a closed device.
    virtual bool CloseDevice() = 0;
    virtual bool StartSession() = 0;
    virtual bool EndSession() = 0;
    // Reads up to Count bytes into Buffer (at least Count bytes long).
    virtual bool ReadBuffer(std::uint8_t* Buffer, std::uint32_t Count,
                            std::uint32_t& BytesRead) = 0;
    virtual bool WriteBuffer(const std::uint8_t* Buffer, std::uint32_t Count,
                             std::uint32_t& BytesWritten) = 0;

    // The collection that owns the object, and its index there (-1 without a collection).
    TUSB_IFDeviceCollection* Collection() const { return collection_; }
    int Index() const;
    // Moves the object, unchanged, to the end of another collection (nullptr is refused).
    void SetCollection(TUSB_IFDeviceCollection* target);

protected:
    // The part of destruction that needs the transport: every transport's destructor calls it
    // while its own fields still exist. Closes an open device; a failure inside the close is
    // reported on the debug output and does not stop the destruction.
    void CloseOnDestroy() noexcept;

private:
    friend class TUSB_IFDeviceCollection;
    TUSB_IFDeviceCollection* collection_ = nullptr;
};

// Before each link command the device's unread input is thrown away, so that the command
// reads its own reply and not bytes a client left behind (a client that wrote and never read,
// then a rescan that identifies the device again). The drain reads DrainReadBytes at a time,
// each read waiting DrainReadTimeoutMs, and stops at the first read that brings nothing: a
// device with pending bytes hands them over within a few milliseconds, and 20 ms is also the
// pause after which the pipe-file transport takes a reply as complete. It stops after
// DrainMaxReads reads in any case (64 KiB, as much as a device's buffer holds; at most 320 ms),
// so a device that keeps sending cannot hold the thread; its command then fails as before.
inline constexpr std::uint32_t DrainReadBytes = 4096;
inline constexpr unsigned DrainReadTimeoutMs = 20;
inline constexpr int DrainMaxReads = 16;

// The link command protocol and identification, over the transport's ReadBuffer and
// WriteBuffer. ReadBuffer/WriteBuffer here only apply the latency simulation and succeed;
// every transport calls them before its own transfer.
class TUSB_IFDeviceLocal : public TUSB_IFDeviceBase {
public:
    bool GetDevInfo() override;
    bool StartSession() override;
    bool EndSession() override;
    bool ReadBuffer(std::uint8_t* Buffer, std::uint32_t Count, std::uint32_t& BytesRead) override;
    bool WriteBuffer(const std::uint8_t* Buffer, std::uint32_t Count,
                     std::uint32_t& BytesWritten) override;

    bool GetRAMTotal();
    bool GetFirmwareVersion();
    bool SetEnableEEPWrite();
    // Fills the identity fields from the device path, opening the device briefly unless its
    // USB identifiers are those of a Brisk box. Never fails as a whole.
    void Identify(const std::string& Path);
    // Throws away the device's unread input (see DrainReadBytes).
    void DiscardInput();

protected:
    // One read of the drain: what the device has already sent, up to Count bytes, waiting at
    // most DrainReadTimeoutMs; 0 when nothing came or the read failed. Not a client transfer:
    // no latency simulation, no line. The base reads nothing.
    virtual std::uint32_t DrainRead(std::uint8_t* Buffer, std::uint32_t Count);

private:
    bool WriteExact(const std::uint8_t* Buffer, std::uint32_t Count);
    bool ReadExact(std::uint8_t* Buffer, std::uint32_t Count);
    // One link command: msg[0] out, replyCount bytes back into msg, the first of them answer.
    // A step that fails logs its line (writeFailed, readFailed, answerFailed) and gives false.
    bool Exchange(std::uint8_t* msg, std::uint32_t replyCount, std::uint8_t answer,
                  std::string_view writeFailed, std::string_view readFailed,
                  std::string_view answerFailed);
};
