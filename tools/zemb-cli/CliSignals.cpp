// SPDX-License-Identifier: MIT
#include "CliSignals.h"

#include <sys/signalfd.h>
#include <unistd.h>

namespace ZEMBCli {

TSignalFd::TSignalFd() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigprocmask(SIG_BLOCK, &set, &Old_);
    Fd_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

TSignalFd::~TSignalFd() {
    if (Fd_ >= 0)
        close(Fd_);
    sigprocmask(SIG_SETMASK, &Old_, nullptr);
}

int TSignalFd::Take() {
    signalfd_siginfo info{};
    if (Fd_ < 0 || read(Fd_, &info, sizeof info) != static_cast<ssize_t>(sizeof info))
        return 0;
    return static_cast<int>(info.ssi_signo);
}

} // namespace ZEMBCli
