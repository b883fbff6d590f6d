// SPDX-License-Identifier: MIT
#include "XDisplay.h"

#include <csignal>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xcb_ewmh.h>

namespace {
// A question to the display's root window through EWMH; false when the display or the
// property is not there.
template <typename Ask> bool AskRoot(const std::string& display, Ask&& ask) {
    int screen = 0;
    std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> c(
        xcb_connect(display.c_str(), &screen), xcb_disconnect);
    xcb_ewmh_connection_t ewmh{};
    if (xcb_connection_has_error(c.get()) ||
        xcb_ewmh_init_atoms_replies(&ewmh, xcb_ewmh_init_atoms(c.get(), &ewmh), nullptr) != 1)
        return false;
    const bool answered = ask(ewmh, screen);
    xcb_ewmh_connection_wipe(&ewmh);
    return answered;
}

void Stop(TProcess& process) {
    if (process.Running()) {
        process.Signal(SIGTERM);
        process.WaitForExit(EndBound);
    }
}
} // namespace

std::optional<std::vector<std::string>> FindPrograms(const std::vector<std::string>& names) {
    std::string script;
    for (const std::string& name : names)
        script += "command -v '" + name + "';";
    std::istringstream found(RunProgram({"/bin/sh", "-c", script}).Output);
    std::vector<std::string> paths;
    for (std::string line; std::getline(found, line);)
        paths.push_back(line);
    return paths.size() == names.size() ? std::optional(paths) : std::nullopt;
}

TXDisplay::~TXDisplay() {
    Stop(WindowManager_);
    Stop(Server_);
}

bool TXDisplay::Start(const std::string& xvfb, std::string& why) {
    // A number of its own: Xvfb takes the display's lock file or ends at once when another
    // server holds it, and then the next number is tried. Numbers from 200 on, spread by the
    // test's pid, stay clear of users' sessions and of servers that pick the lowest free one.
    const int first = 200 + static_cast<int>(::getpid() % 500);
    for (int number = first; number < first + 20; ++number) {
        // -displayfd: the number is written out once the server accepts connections;
        // -noreset: the probes below come and go, and a server resetting when its last client
        // leaves refuses the window manager's connection meanwhile.
        if (!Server_.Start({xvfb, ":" + std::to_string(number), "-displayfd", "1", "-noreset",
                            "-nolisten", "tcp", "-screen", "0", "800x600x24"},
                           {{}, nullptr, true})) {
            why = "cannot start " + xvfb;
            return false;
        }
        if (const auto line = Server_.ReadLine(StartBound);
            line && *line == std::to_string(number)) {
            Name_ = ":" + *line;
            return true;
        }
        Server_.WaitForExit(EndBound);
    }
    why = "no free display for Xvfb: " + Server_.Errors();
    return false;
}

bool TXDisplay::StartWindowManager(const std::string& openbox,
                                   std::map<std::string, std::string> env, std::string& why) {
    env["DISPLAY"] = Name_;
    const auto managed = [](xcb_ewmh_connection_t& ewmh, int screen) {
        xcb_window_t check = XCB_NONE;
        const auto asked = xcb_ewmh_get_supporting_wm_check(&ewmh, ewmh.screens[screen]->root);
        return xcb_ewmh_get_supporting_wm_check_reply(&ewmh, asked, &check, nullptr) == 1 &&
               check != XCB_NONE;
    };
    // On a loaded machine the window manager once never took the screen, silently: it gets a
    // second start before the test gives up.
    for (int attempt = 0; attempt < 2; ++attempt) {
        Stop(WindowManager_);
        if (!WindowManager_.Start({openbox, "--sm-disable"}, env)) {
            why = "cannot start " + openbox;
            return false;
        }
        if (WaitUntil([&] { return AskRoot(Name_, managed); }, StartBound))
            return true;
        WindowManager_.WaitForText("\n", 100ms); // what it said, if anything
        why += "the window manager (" +
               std::string(WindowManager_.Running() ? "running" : "ended") +
               ") did not take the screen of " + Name_ + " (X server " +
               (Server_.Running() ? "running" : "ended") + "): " + WindowManager_.Output() +
               Server_.Errors() + "; ";
    }
    return false;
}

std::uint32_t TXDisplay::ActiveWindow() const {
    xcb_window_t active = XCB_NONE;
    AskRoot(Name_, [&](xcb_ewmh_connection_t& ewmh, int screen) {
        return xcb_ewmh_get_active_window_reply(&ewmh, xcb_ewmh_get_active_window(&ewmh, screen),
                                                &active, nullptr) == 1;
    });
    return active;
}
