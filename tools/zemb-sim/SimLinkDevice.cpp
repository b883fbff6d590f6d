// SPDX-License-Identifier: MIT
#include "SimLinkDevice.h"

#include "SimTestbed.h"

#include <algorithm>

namespace {
constexpr std::uint8_t kTxRamTotal = 0x09;
constexpr std::uint8_t kRxRamTotal = 0x08;
constexpr std::uint8_t kTxGetVer = 0x13;
constexpr std::uint8_t kRxGetVerAck = 0x14;
constexpr std::uint8_t kTxGetDev = 0x18;
constexpr std::uint8_t kRxGetDev = 0x19;
constexpr std::uint8_t kTxEnableEepWrite = 0x1C;
constexpr std::uint8_t kRxEnableEepWriteAck = 0x1D;

constexpr std::uint8_t Low(unsigned value) {
    return static_cast<std::uint8_t>(value & 0xFFu);
}
constexpr std::uint8_t High(unsigned value) {
    return static_cast<std::uint8_t>((value >> 8) & 0xFFu);
}

char LowerHexDigit(unsigned v) {
    return "0123456789abcdef"[v & 0xFu];
}

std::string LowerHex4(std::uint16_t value) {
    std::string s(4, '0');
    for (int i = 3; i >= 0; --i) {
        s[static_cast<std::size_t>(i)] = LowerHexDigit(value);
        value = static_cast<std::uint16_t>(value >> 4);
    }
    return s;
}
} // namespace

std::string_view SimDriverName(TSimDriver driver) {
    switch (driver) {
    case TSimDriver::Silabs:
        return "silabs";
    case TSimDriver::WinUSB_Silabs:
        return "winusb_silabs";
    case TSimDriver::WinUSB_ST:
        return "winusb_st";
    }
    return "";
}

std::optional<TSimDriver> SimDriverFromName(std::string_view name) {
    for (auto d : {TSimDriver::Silabs, TSimDriver::WinUSB_Silabs, TSimDriver::WinUSB_ST}) {
        std::string_view n = SimDriverName(d);
        if (n.size() == name.size() &&
            std::equal(n.begin(), n.end(), name.begin(), [](char a, char b) {
                return a == ((b >= 'A' && b <= 'Z') ? static_cast<char>(b - 'A' + 'a') : b);
            }))
            return d;
    }
    return std::nullopt;
}

std::string SimInterfaceGuid(const TSimDeviceConfig& config) {
    if (!config.InterfaceGuid.empty())
        return config.InterfaceGuid;
    const bool brisk = config.VendorId == 0x10c4 && config.ProductId == 0x83cc;
    switch (config.Driver) {
    case TSimDriver::Silabs:
        return std::string(brisk ? kSimGuidBriskSilabs : kSimGuidSilabs);
    case TSimDriver::WinUSB_Silabs:
        return std::string(brisk ? kSimGuidBriskWinUSBSilabs : kSimGuidWinUSBSilabs);
    case TSimDriver::WinUSB_ST:
        return std::string(brisk ? kSimGuidBriskWinUSBST : kSimGuidWinUSBST);
    }
    return {};
}

std::string SimLinkNameComponent(const TSimDeviceConfig& config, std::string_view instance) {
    std::string guid = SimInterfaceGuid(config);
    for (char& c : guid) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return "usb#vid_" + LowerHex4(config.VendorId) + "&pid_" + LowerHex4(config.ProductId) + "#" +
           std::string(instance) + "#" + guid;
}

std::vector<std::uint8_t> SimLinkReply(const TSimDeviceConfig& config,
                                       std::span<const std::uint8_t> written) {
    if (written.size() == 1) {
        switch (written[0]) {
        case kTxRamTotal:
            return {kRxRamTotal, Low(config.RamSize), High(config.RamSize)};
        case kTxGetVer:
            return {kRxGetVerAck, Low(config.Firmware), High(config.Firmware)};
        case kTxGetDev: {
            const std::uint32_t s = config.SerialNumber;
            return {kRxGetDev,
                    static_cast<std::uint8_t>(s & 0xFFu),
                    static_cast<std::uint8_t>((s >> 8) & 0xFFu),
                    static_cast<std::uint8_t>((s >> 16) & 0xFFu),
                    static_cast<std::uint8_t>((s >> 24) & 0xFFu),
                    config.HardwareRevision,
                    Low(config.FpgaRevision),
                    High(config.FpgaRevision)};
        }
        case kTxEnableEepWrite:
            return {kRxEnableEepWriteAck};
        default:
            break;
        }
    }
    return {written.begin(), written.end()};
}

std::string_view SimFaultName(TSimFaultKind kind) {
    switch (kind) {
    case TSimFaultKind::None:
        return "none";
    case TSimFaultKind::NoReply:
        return "noreply";
    case TSimFaultKind::ShortReply:
        return "short";
    case TSimFaultKind::WrongReplyCode:
        return "wrongcode";
    case TSimFaultKind::TransferFails:
        return "fail";
    case TSimFaultKind::SlowReply:
        return "slow";
    case TSimFaultKind::UnplugMidTransfer:
        return "unplug";
    }
    return "";
}

std::optional<TSimFaultKind> SimFaultFromName(std::string_view name) {
    for (auto k : {TSimFaultKind::None, TSimFaultKind::NoReply, TSimFaultKind::ShortReply,
                   TSimFaultKind::WrongReplyCode, TSimFaultKind::TransferFails,
                   TSimFaultKind::SlowReply, TSimFaultKind::UnplugMidTransfer}) {
        if (SimFaultName(k) == name)
            return k;
    }
    return std::nullopt;
}

TSimLinkDevice::TSimLinkDevice(TSimDeviceConfig config) : config_(std::move(config)) {}

void TSimLinkDevice::SetFault(TSimFault fault) {
    std::lock_guard lock(mutex_);
    fault_ = fault;
}

TSimFault TSimLinkDevice::Fault() const {
    std::lock_guard lock(mutex_);
    return fault_;
}

// Decides whether the fault in force takes this transfer, and spends one of its count.
bool TSimLinkDevice::SpendFault(bool isWrite, TSimFaultKind& kind, unsigned& delayMs) {
    kind = fault_.Kind;
    delayMs = fault_.DelayMs;
    if (kind == TSimFaultKind::None)
        return false;
    // Reply faults act on the command (the write); a failing transfer on either direction.
    if (!isWrite && kind != TSimFaultKind::TransferFails)
        return false;
    if (kind == TSimFaultKind::UnplugMidTransfer) {
        fault_ = {}; // once unplugged there is nothing left to affect
        return true;
    }
    if (fault_.Count > 0 && --fault_.Count == 0)
        fault_ = {};
    return true;
}

TSimTransfer TSimLinkDevice::HostWrite(std::span<const std::uint8_t> bytes, Clock::time_point now) {
    std::lock_guard lock(mutex_);
    TSimFaultKind kind;
    unsigned delayMs;
    if (!SpendFault(true, kind, delayMs))
        kind = TSimFaultKind::None;
    if (kind == TSimFaultKind::TransferFails)
        return TSimTransfer::Failed;
    bytesWritten_ += bytes.size();
    if (kind == TSimFaultKind::UnplugMidTransfer) {
        replies_.clear();
        return TSimTransfer::Unplug;
    }
    std::vector<std::uint8_t> reply = SimLinkReply(config_, bytes);
    Clock::time_point readyAt = now;
    switch (kind) {
    case TSimFaultKind::NoReply:
        return TSimTransfer::Done;
    case TSimFaultKind::ShortReply:
        reply.resize(reply.size() / 2);
        break;
    case TSimFaultKind::WrongReplyCode:
        if (!reply.empty())
            reply[0] = static_cast<std::uint8_t>(reply[0] ^ 0x80u);
        break;
    case TSimFaultKind::SlowReply:
        readyAt = now + std::chrono::milliseconds(delayMs);
        break;
    default:
        break;
    }
    if (!reply.empty())
        replies_.push_back({readyAt, std::move(reply)});
    return TSimTransfer::Done;
}

TSimTransfer TSimLinkDevice::HostRead(std::size_t max, std::vector<std::uint8_t>& out,
                                      Clock::time_point now) {
    std::lock_guard lock(mutex_);
    out.clear();
    TSimFaultKind kind;
    unsigned delayMs;
    if (SpendFault(false, kind, delayMs) && kind == TSimFaultKind::TransferFails)
        return TSimTransfer::Failed;
    if (replies_.empty() || replies_.front().readyAt > now || max == 0)
        return TSimTransfer::Done;
    auto& front = replies_.front().bytes;
    const std::size_t n = std::min(max, front.size());
    out.assign(front.begin(), front.begin() + static_cast<std::ptrdiff_t>(n));
    front.erase(front.begin(), front.begin() + static_cast<std::ptrdiff_t>(n));
    if (front.empty())
        replies_.pop_front();
    bytesRead_ += n;
    return TSimTransfer::Done;
}

bool TSimLinkDevice::ReplyReady(Clock::time_point now) const {
    std::lock_guard lock(mutex_);
    if (fault_.Kind == TSimFaultKind::TransferFails)
        return true; // the read completes at once, as a failure
    return !replies_.empty() && replies_.front().readyAt <= now;
}

std::optional<TSimLinkDevice::Clock::time_point> TSimLinkDevice::NextReplyAt() const {
    std::lock_guard lock(mutex_);
    if (replies_.empty())
        return std::nullopt;
    return replies_.front().readyAt;
}

bool TSimLinkDevice::TakeReadyReply(Clock::time_point now, std::vector<std::uint8_t>& out) {
    std::lock_guard lock(mutex_);
    out.clear();
    if (replies_.empty() || replies_.front().readyAt > now)
        return false;
    out = std::move(replies_.front().bytes);
    replies_.pop_front();
    bytesRead_ += out.size();
    return true;
}

void TSimLinkDevice::Reset() {
    std::lock_guard lock(mutex_);
    replies_.clear();
}

std::uint64_t TSimLinkDevice::BytesWritten() const {
    std::lock_guard lock(mutex_);
    return bytesWritten_;
}

std::uint64_t TSimLinkDevice::BytesRead() const {
    std::lock_guard lock(mutex_);
    return bytesRead_;
}
