// SPDX-License-Identifier: MIT
#include "base/UniqueFd.h"

#include <cerrno>
#include <unistd.h>

bool TUniqueFd::Close() {
    const int fd = Release();
    // close() releases the descriptor even when it reports an error; retrying could close a
    // descriptor another part of the process has just been given.
    return fd != -1 && ::close(fd) == 0;
}

bool ReadToEnd(int fd, std::string& text) {
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got == 0;
        text.append(buffer, static_cast<std::size_t>(got));
    }
}
