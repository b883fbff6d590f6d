// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The driver through which a simulated link device is reached; the same three kinds as the
// device layer's driver types, in the same order.
enum class TSimDriver : std::uint8_t { Silabs, WinUSB_Silabs, WinUSB_ST };

// "silabs", "winusb_silabs", "winusb_st" (the device file's words).
std::string_view SimDriverName(TSimDriver driver);
std::optional<TSimDriver> SimDriverFromName(std::string_view name);

// Everything a simulated link device is: its USB identity, what discovery sees in udev and
// what it answers to the link commands.
struct TSimDeviceConfig {
    std::string Name; // the section name; how the control socket and tests address it
    TSimDriver Driver = TSimDriver::WinUSB_ST;
    std::uint16_t VendorId = 0;
    std::uint16_t ProductId = 0;
    // The USB serial-number string, the INSTANCE of the LinkName; empty for a device without
    // one (its INSTANCE is then the port path).
    std::string Instance;
    std::string FriendlyName; // udev ZEMB_FRIENDLY_NAME; empty: none
    std::string Description;  // udev ID_MODEL; empty: none
    // Braced upper-case interface GUID; empty: the row-0 GUID of the driver's column, or the
    // Brisk GUID of that column for vid_10c4&pid_83cc.
    std::string InterfaceGuid;
    std::uint16_t Firmware = 0x0204; // high byte major, low byte minor, as the reply carries it
    std::uint16_t RamSize = 0x0900;  // the size the RAM-size reply carries
    std::uint32_t SerialNumber = 0;  // device-information reply
    std::uint8_t HardwareRevision = 0;
    std::uint16_t FpgaRevision = 0;
    bool Plugged = true; // plugged when the testbed starts
};

// The interface GUID the device announces (InterfaceGuid or the default of its column).
std::string SimInterfaceGuid(const TSimDeviceConfig& config);

// "usb#vid_vvvv&pid_pppp#INSTANCE#{GUID}" for the given instance text, the GUID in upper
// case as discovery writes it.
std::string SimLinkNameComponent(const TSimDeviceConfig& config, std::string_view instance);

// Whether a configuration can become a device: a name of printable text without blanks; every
// text printable (no line ends), at most 255 characters; instance and interface GUID without
// '/'. Anything else is allowed, for tests of discovery. The message names the field.
bool SimConfigValid(const TSimDeviceConfig& config, std::string& error);

// Parses a device file's text (INI, one section per device). Keys, all optional except
// Driver, VendorId and ProductId: Driver, VendorId, ProductId (hex, "10c4" or "0x10c4"),
// Instance, FriendlyName, Description, InterfaceGuid, Firmware ("2.04" or a word such as
// "0x0204"), RamSize, SerialNumber, HardwareRevision, FpgaRevision, Plugged (0/1).
// On a malformed file returns none and a message naming the section and key in `error`.
std::optional<std::vector<TSimDeviceConfig>> ParseSimDeviceFile(std::string_view text,
                                                                std::string& error);
// Reads the file at `path` and parses it; an unreadable file is an error as well.
std::optional<std::vector<TSimDeviceConfig>> LoadSimDeviceFile(const std::string& path,
                                                               std::string& error);

// The reply a healthy device gives to one host write: the link command replies for the
// one-byte commands 0x09, 0x13, 0x18, 0x1C; every other byte sequence (poll messages with
// first byte 0x11 or 0x12 included) comes back unchanged. An empty write has no reply.
std::vector<std::uint8_t> SimLinkReply(const TSimDeviceConfig& config,
                                       std::span<const std::uint8_t> written);

enum class TSimFaultKind : std::uint8_t {
    None,
    NoReply,           // the write is taken, no reply follows
    ShortReply,        // the reply loses its last half (at least one byte)
    WrongReplyCode,    // the reply's first byte is changed
    TransferFails,     // the transfer fails with nothing moved (write or read)
    SlowReply,         // the reply is ready only DelayMs after the write
    UnplugMidTransfer, // the device is pulled out while the host waits for its reply
};

// Control-socket words: "noreply", "short", "wrongcode", "fail", "slow", "unplug".
std::string_view SimFaultName(TSimFaultKind kind);
std::optional<TSimFaultKind> SimFaultFromName(std::string_view name);

struct TSimFault {
    TSimFaultKind Kind = TSimFaultKind::None;
    // Transfers still to affect; 0 means until cleared. Reply faults are spent by the host's
    // writes (one command, one transfer); TransferFails by every transfer, either direction.
    unsigned Count = 0;
    unsigned DelayMs = 0; // SlowReply only
};

// What the transport layer must do with one transfer.
enum class TSimTransfer : std::uint8_t {
    Done,   // moved (for a read: possibly fewer bytes than asked, or none yet)
    Failed, // fails with nothing moved
    Unplug, // the device goes away now: fail this and every pending transfer as gone
};

// The protocol engine of one simulated device, shared by both transports. Thread-safe: the
// transport serves it on its own thread while the control socket or a test sets faults.
// Replies are kept as separate packets: a read takes from the first ready reply only.
class TSimLinkDevice {
public:
    using Clock = std::chrono::steady_clock;

    explicit TSimLinkDevice(TSimDeviceConfig config);

    const TSimDeviceConfig& Config() const { return config_; }

    void SetFault(TSimFault fault);
    void ClearFault() { SetFault({}); }
    TSimFault Fault() const;

    // The host wrote `bytes`: applies the fault in force and queues the reply.
    TSimTransfer HostWrite(std::span<const std::uint8_t> bytes, Clock::time_point now);
    // The host reads at most `max` bytes: fills `out` with what is ready at `now` (empty
    // when nothing is); Failed when a TransferFails fault takes this read.
    TSimTransfer HostRead(std::size_t max, std::vector<std::uint8_t>& out, Clock::time_point now);
    // Asks whether a read at `now` would get bytes, without taking them or spending faults.
    bool ReplyReady(Clock::time_point now) const;
    // When the next queued reply becomes ready; none when nothing is queued.
    std::optional<Clock::time_point> NextReplyAt() const;
    // Takes the first ready reply whole, without spending a fault (the pipe-file device, which
    // writes replies into its FIFO as they become ready). False when none is ready.
    bool TakeReadyReply(Clock::time_point now, std::vector<std::uint8_t>& out);
    // Forgets queued replies (a replug starts a fresh device).
    void Reset();

    // Traffic counters (bytes the host wrote and read), for tests and `list`.
    std::uint64_t BytesWritten() const;
    std::uint64_t BytesRead() const;

private:
    struct Reply {
        Clock::time_point readyAt;
        std::vector<std::uint8_t> bytes;
    };
    bool SpendFault(bool isWrite, TSimFaultKind& kind, unsigned& delayMs);

    const TSimDeviceConfig config_;
    mutable std::mutex mutex_;
    TSimFault fault_;
    std::deque<Reply> replies_;
    std::uint64_t bytesWritten_ = 0;
    std::uint64_t bytesRead_ = 0;
};
