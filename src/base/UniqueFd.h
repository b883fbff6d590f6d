// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <utility>

// An owned file descriptor; -1 means none (the closed-handle value of the device model).
class TUniqueFd {
public:
    TUniqueFd() = default;
    explicit TUniqueFd(int fd) : fd_(fd) {}
    ~TUniqueFd() { Close(); }
    TUniqueFd(TUniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    TUniqueFd& operator=(TUniqueFd&& other) noexcept {
        if (this != &other) {
            Close();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    TUniqueFd(const TUniqueFd&) = delete;
    TUniqueFd& operator=(const TUniqueFd&) = delete;

    int Get() const { return fd_; }
    bool Valid() const { return fd_ != -1; }
    // Closes the descriptor; true if close() succeeded. The value is -1 afterwards either way
    // (a descriptor is released by close() even when it reports an error).
    bool Close();
    int Release() { return std::exchange(fd_, -1); }

private:
    int fd_ = -1;
};

// Appends everything fd yields until its end to text (a signal's interruption is retried).
// False on a read error; text then holds what came before it.
bool ReadToEnd(int fd, std::string& text);
