// SPDX-License-Identifier: MIT
#pragma once

#include <atomic>
#include <string>

// An owned file descriptor; -1 means none (the closed-handle value of the device model).
// Whether it holds one may be read on another thread while its owner opens or closes it (the
// main thread asks whether a device is open while the device's worker opens it); everything
// else belongs to one thread at a time.
class TUniqueFd {
public:
    TUniqueFd() = default;
    explicit TUniqueFd(int fd) : fd_(fd) {}
    ~TUniqueFd() { Close(); }
    TUniqueFd(TUniqueFd&& other) noexcept : fd_(other.Release()) {}
    TUniqueFd& operator=(TUniqueFd&& other) noexcept {
        if (this != &other) {
            Close();
            fd_.store(other.Release(), std::memory_order_relaxed);
        }
        return *this;
    }
    TUniqueFd(const TUniqueFd&) = delete;
    TUniqueFd& operator=(const TUniqueFd&) = delete;

    int Get() const { return fd_.load(std::memory_order_relaxed); }
    bool Valid() const { return Get() != -1; }
    // Closes the descriptor; true if close() succeeded. The value is -1 afterwards either way
    // (a descriptor is released by close() even when it reports an error).
    bool Close();
    int Release() { return fd_.exchange(-1, std::memory_order_relaxed); }

private:
    std::atomic<int> fd_{-1};
};

// Appends everything fd yields until its end to text (a signal's interruption is retried).
// False on a read error; text then holds what came before it.
bool ReadToEnd(int fd, std::string& text);
