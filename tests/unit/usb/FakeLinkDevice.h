// SPDX-License-Identifier: MIT
#pragma once

#include "usb/LinkDevice.h"

#include <deque>
#include <fcntl.h>
#include <stdexcept>
#include <utility>
#include <vector>

// An in-process transport: the protocol and identification run unchanged above it, every
// write is recorded, and each read takes the next scripted reply. It can also go wrong: closes
// or reads that throw, or input nobody read (the first `pendingReads` drain reads find a byte).
class TFakeLinkDevice : public TUSB_IFDeviceLocal {
public:
    bool openSucceeds = true, writeSucceeds = true, throwOnClose = false, throwOnRead = false;
    int opens = 0, closes = 0, pendingReads = 0, drainReads = 0;
    std::vector<std::vector<std::uint8_t>> written;
    std::deque<std::pair<std::vector<std::uint8_t>, bool>> replies; // bytes, transfer ok

    ~TFakeLinkDevice() override { CloseOnDestroy(); }

    void Reply(std::vector<std::uint8_t> bytes, bool ok = true) {
        replies.emplace_back(std::move(bytes), ok);
    }

    bool OpenDevice() override {
        ++opens;
        if (!openSucceeds)
            return false;
        Handle = TUniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        return Handle.Valid();
    }
    bool CloseDevice() override {
        if (throwOnClose)
            throw std::runtime_error("close");
        if (!Handle.Valid())
            return false;
        ++closes;
        return Handle.Close();
    }
    bool WriteBuffer(const std::uint8_t* Buffer, std::uint32_t Count,
                     std::uint32_t& BytesWritten) override {
        TUSB_IFDeviceLocal::WriteBuffer(Buffer, Count, BytesWritten);
        if (!Active() || !writeSucceeds) {
            BytesWritten = 0;
            return false;
        }
        written.emplace_back(Buffer, Buffer + Count);
        BytesWritten = Count;
        return true;
    }
    bool ReadBuffer(std::uint8_t* Buffer, std::uint32_t Count, std::uint32_t& BytesRead) override {
        if (throwOnRead)
            throw std::runtime_error("read");
        TUSB_IFDeviceLocal::ReadBuffer(Buffer, Count, BytesRead);
        BytesRead = 0;
        if (!Active() || replies.empty())
            return false;
        auto [bytes, ok] = std::move(replies.front());
        replies.pop_front();
        const std::size_t n = std::min<std::size_t>(Count, bytes.size());
        std::copy_n(bytes.begin(), n, Buffer);
        BytesRead = static_cast<std::uint32_t>(n);
        return ok;
    }

protected:
    std::uint32_t DrainRead(std::uint8_t* Buffer, std::uint32_t Count) override {
        ++drainReads;
        if (pendingReads == 0 || Count == 0)
            return 0;
        --pendingReads;
        Buffer[0] = 0x21;
        return 1;
    }
};
