// SPDX-License-Identifier: MIT
#include "base/ExecutablePaths.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

std::string ExecutablePath() {
    std::error_code error;
    auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : path.string();
}

static std::string WithTrailingSlash(std::string folder) {
    if (folder.empty() || folder.back() != '/') {
        folder += '/';
    }
    return folder;
}

std::string ExecutableFolder() {
    if (const char* configured = std::getenv("ZEMB_CONFIG_DIR"); configured && *configured) {
        return WithTrailingSlash(configured);
    }
    std::string path = ExecutablePath();
    return WithTrailingSlash(path.substr(0, path.rfind('/') + 1));
}

std::string SystemFolder() {
    if (const char* configured = std::getenv("ZEMB_SYSTEM_DIR"); configured && *configured) {
        return WithTrailingSlash(configured);
    }
    return "/etc/";
}

std::string ExtractFileName(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool ForceDirectories(const std::string& path) {
    std::error_code reason;
    return ForceDirectories(path, reason);
}

bool ForceDirectories(const std::string& path, std::error_code& reason) {
    reason.clear();
    std::filesystem::create_directories(path, reason);
    std::error_code statusError;
    if (std::filesystem::is_directory(path, statusError)) {
        reason.clear();
        return true;
    }
    if (!reason) {
        reason = statusError ? statusError : std::make_error_code(std::errc::not_a_directory);
    }
    return false;
}
