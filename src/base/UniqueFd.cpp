// SPDX-License-Identifier: MIT
#include "base/UniqueFd.h"

#include <unistd.h>

bool TUniqueFd::Close() {
    if (fd_ == -1)
        return false;
    // close() releases the descriptor even when it reports an error; retrying could close a
    // descriptor another part of the process has just been given.
    return ::close(std::exchange(fd_, -1)) == 0;
}
