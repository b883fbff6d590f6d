// SPDX-License-Identifier: MIT
#include "usb/PipeFileDevice.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

unsigned transferTimeoutMs = 5000;
// Once the first bytes of a reply are there, the rest of it follows at once; a pause this long
// ends the read with what has arrived.
constexpr int ReplyGapMs = 20;

using Clock = std::chrono::steady_clock;

int MsUntil(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

// A write to a pipe whose reader has gone must fail with EPIPE, not end the process.
void IgnoreSigpipe() {
    static const bool done = [] {
        struct sigaction current {};
        if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
            std::signal(SIGPIPE, SIG_IGN);
        return true;
    }();
    (void)done;
}

} // namespace

unsigned SilabsTransferTimeoutMs() {
    return transferTimeoutMs;
}
void SetSilabsTransferTimeoutMs(unsigned ms) {
    transferTimeoutMs = ms;
}

TUSB_IFDeviceSilabs::~TUSB_IFDeviceSilabs() {
    CloseOnDestroy();
}

bool TUSB_IFDeviceSilabs::OpenDevice() {
    if (Active())
        CloseDevice();
    IgnoreSigpipe();
    Handle = TUniqueFd(::open(LinkName.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!Handle.Valid())
        return false;
    // Non-blocking opens: a write end without a reader fails at once (ENXIO) instead of waiting
    // for a driver that is not there; transfers wait with poll and a time-out.
    WritePipeHandle =
        TUniqueFd(::open((LinkName + "/PIPE01").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    ReadPipeHandle =
        TUniqueFd(::open((LinkName + "/PIPE00").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    return WritePipeHandle.Valid() && ReadPipeHandle.Valid();
}

bool TUSB_IFDeviceSilabs::CloseDevice() {
    if (!Handle.Valid())
        return false;
    // A descriptor is gone after close() whatever it reports, so Handle never keeps it.
    const bool closed = Handle.Close();
    WritePipeHandle.Close();
    ReadPipeHandle.Close();
    return closed;
}

bool TUSB_IFDeviceSilabs::ReadBuffer(std::uint8_t* Buffer, std::uint32_t Count,
                                     std::uint32_t& BytesRead) {
    TUSB_IFDeviceLocal::ReadBuffer(Buffer, Count, BytesRead);
    if (!ReadPipeHandle.Valid() || Count == 0 || Count > MaxTransfer) {
        BytesRead = 0;
        return false;
    }
    BytesRead = 0;
    auto deadline = Clock::now() + std::chrono::milliseconds(transferTimeoutMs);
    while (BytesRead < Count) {
        pollfd pfd{ReadPipeHandle.Get(), POLLIN, 0};
        const int ready = ::poll(&pfd, 1, MsUntil(deadline));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (ready == 0)
            break; // time-out
        const ssize_t n = ::read(ReadPipeHandle.Get(), Buffer + BytesRead, Count - BytesRead);
        if (n > 0) {
            BytesRead += static_cast<std::uint32_t>(n);
            deadline = std::min(deadline, Clock::now() + std::chrono::milliseconds(ReplyGapMs));
        } else if (n == 0) {
            break; // the driver side closed its end
        } else if (errno != EAGAIN && errno != EINTR) {
            return false;
        }
    }
    return BytesRead > 0;
}

bool TUSB_IFDeviceSilabs::WriteBuffer(const std::uint8_t* Buffer, std::uint32_t Count,
                                      std::uint32_t& BytesWritten) {
    TUSB_IFDeviceLocal::WriteBuffer(Buffer, Count, BytesWritten);
    if (!WritePipeHandle.Valid() || Count == 0 || Count > MaxTransfer) {
        BytesWritten = 0;
        return false;
    }
    BytesWritten = 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(transferTimeoutMs);
    while (BytesWritten < Count) {
        const ssize_t n =
            ::write(WritePipeHandle.Get(), Buffer + BytesWritten, Count - BytesWritten);
        if (n > 0) {
            BytesWritten += static_cast<std::uint32_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false; // EPIPE: the reader is gone
        pollfd pfd{WritePipeHandle.Get(), POLLOUT, 0};
        const int ready = ::poll(&pfd, 1, MsUntil(deadline));
        if (ready == 0)
            return false; // the driver stopped taking bytes
        if (ready < 0 && errno != EINTR)
            return false;
        if (ready > 0 && (pfd.revents & (POLLERR | POLLHUP)) && !(pfd.revents & POLLOUT))
            return false;
    }
    return true;
}

std::uint32_t TUSB_IFDeviceSilabs::DrainRead(std::uint8_t* Buffer, std::uint32_t Count) {
    if (!ReadPipeHandle.Valid() || Count == 0)
        return 0;
    pollfd pfd{ReadPipeHandle.Get(), POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(DrainReadTimeoutMs)) <= 0)
        return 0;
    const ssize_t n = ::read(ReadPipeHandle.Get(), Buffer, Count);
    return n > 0 ? static_cast<std::uint32_t>(n) : 0;
}
