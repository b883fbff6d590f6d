// SPDX-License-Identifier: MIT
#pragma once

#include "usb/LinkDevice.h"

#include <deque>
#include <fcntl.h>
#include <string>
#include <utility>
#include <vector>

// An in-process transport: the protocol and identification run unchanged above it, every
// write is recorded, and each read takes the next scripted reply.
class TFakeLinkDevice : public TUSB_IFDeviceLocal {
public:
    struct TReply {
        std::vector<std::uint8_t> bytes;
        bool ok = true;
    };

    bool openSucceeds = true, writeSucceeds = true;
    int opens = 0, closes = 0;
    std::vector<std::vector<std::uint8_t>> written;
    std::deque<TReply> replies;

    ~TFakeLinkDevice() override { CloseOnDestroy(); }

    void Reply(std::vector<std::uint8_t> bytes, bool ok = true) {
        replies.push_back({std::move(bytes), ok});
    }

    bool OpenDevice() override {
        ++opens;
        if (!openSucceeds)
            return false;
        Handle = TUniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        return Handle.Valid();
    }
    bool CloseDevice() override {
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
        TUSB_IFDeviceLocal::ReadBuffer(Buffer, Count, BytesRead);
        BytesRead = 0;
        if (!Active() || replies.empty())
            return false;
        TReply reply = std::move(replies.front());
        replies.pop_front();
        const std::size_t n = std::min<std::size_t>(Count, reply.bytes.size());
        std::copy_n(reply.bytes.begin(), n, Buffer);
        BytesRead = static_cast<std::uint32_t>(n);
        return reply.ok;
    }
};
