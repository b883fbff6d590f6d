// SPDX-License-Identifier: MIT
#pragma once

// How a waiting command ends: on SIGINT, SIGTERM or SIGHUP, or when its time is up.

#include <cerrno>
#include <chrono>
#include <poll.h>
#include <signal.h>

namespace ZEMBCli {

// Blocks SIGINT, SIGTERM and SIGHUP for the life of the object and offers them as a readable
// descriptor (signalfd), so that a poll loop sees them; the old mask comes back at the end.
class TSignalFd {
public:
    TSignalFd();
    ~TSignalFd();
    TSignalFd(const TSignalFd&) = delete;
    TSignalFd& operator=(const TSignalFd&) = delete;
    int Fd() const { return Fd_; }
    // Reads a pending signal; 0 when none.
    int Take();

private:
    int Fd_ = -1;
    sigset_t Old_{};
};

// Serves a bus connection (its Fd, Events and TimeoutMs) until one of the signals arrives
// (null: none), the time is up (zero: no limit) or poll fails: true then. False as soon as
// serve, called whenever the connection may have work, returns false (it has said why).
template <class TSource, class TServe>
bool ServeUntil(TSource& source, TSignalFd* signals, std::chrono::milliseconds duration,
                TServe serve) {
    const auto until = std::chrono::steady_clock::now() + duration;
    const int signalFd = signals ? signals->Fd() : -1;
    for (;;) {
        int timeout = source.TimeoutMs();
        if (duration.count() > 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            until - std::chrono::steady_clock::now())
                            .count();
            if (left <= 0)
                return true;
            if (timeout < 0 || timeout > left)
                timeout = static_cast<int>(left);
        }
        pollfd fds[2] = {{source.Fd(), source.Events(), 0}, {signalFd, POLLIN, 0}};
        int ready = poll(fds, signalFd >= 0 ? 2 : 1, timeout);
        if (ready < 0 && errno != EINTR)
            return true;
        if (signalFd >= 0 && (fds[1].revents & POLLIN)) {
            signals->Take();
            return true;
        }
        if (!serve())
            return false;
    }
}

} // namespace ZEMBCli
