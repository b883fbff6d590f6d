// SPDX-License-Identifier: MIT
#include "window/DisplayProbe.h"

#include "base/UniqueFd.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>

namespace {
std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

bool X11Reachable() {
    if (Env("DISPLAY").empty()) {
        return false;
    }
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    const bool reachable = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);
    return reachable;
}

bool WaylandReachable() {
    std::string socketPath = Env("WAYLAND_DISPLAY");
    if (socketPath.empty()) {
        return false;
    }
    if (socketPath.front() != '/') {
        const std::string runtime = Env("XDG_RUNTIME_DIR");
        if (runtime.empty()) {
            return false;
        }
        socketPath = runtime + "/" + socketPath;
    }
    sockaddr_un address{};
    if (socketPath.size() >= sizeof(address.sun_path)) {
        return false;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size());
    TUniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    return fd.Valid() &&
           ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
}

bool Reachable(std::string_view platform) {
    if (platform == "xcb") {
        return X11Reachable();
    }
    if (platform.starts_with("wayland")) {
        return WaylandReachable();
    }
    // offscreen, vnc and the like need no display.
    return !platform.empty();
}
} // namespace

std::string ReachablePlatforms() {
    std::string wanted = Env("QT_QPA_PLATFORM");
    if (wanted.empty()) {
        wanted = "wayland;xcb";
    }
    std::string result;
    std::string_view rest = wanted;
    while (!rest.empty()) {
        const std::size_t end = rest.find(';');
        const std::string_view platform = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        // Options after a colon (xcb:...) belong to the platform.
        if (Reachable(platform.substr(0, platform.find(':')))) {
            result += (result.empty() ? "" : ";") + std::string(platform);
        }
    }
    return result;
}
