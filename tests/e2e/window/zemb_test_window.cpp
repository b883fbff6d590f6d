// SPDX-License-Identifier: MIT
// A stand-in for a program with a top-level window, for the window-list tests under Xvfb.
//   zemb_test_window window CLASS TITLE net|latin1
//       maps a window of class CLASS titled TITLE (in _NET_WM_NAME, or as Latin-1 WM_NAME),
//       prints its id and keeps it until killed
//   zemb_test_window activate CLASS
//       prints what ActivateOtherInstance(CLASS, by full path, no caption) returns
#include "window/WindowList.h"

#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xcb_ewmh.h>

namespace {

int ShowWindow(const std::string& className, const std::string& title, bool netName) {
    int screenNumber = 0;
    std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> c(
        xcb_connect(nullptr, &screenNumber), xcb_disconnect);
    xcb_ewmh_connection_t ewmh{};
    if (xcb_connection_has_error(c.get()) ||
        xcb_ewmh_init_atoms_replies(&ewmh, xcb_ewmh_init_atoms(c.get(), &ewmh), nullptr) != 1) {
        std::fputs("no display or no EWMH atoms\n", stderr);
        return 1;
    }
    const xcb_screen_t* screen = ewmh.screens[screenNumber];
    const xcb_window_t window = xcb_generate_id(c.get());
    xcb_create_window(c.get(), XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 160, 80, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, 0, nullptr);
    const std::string wmClass = "zemb-test" + std::string(1, '\0') + className + '\0';
    xcb_change_property(c.get(), XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING,
                        8, static_cast<std::uint32_t>(wmClass.size()), wmClass.data());
    xcb_change_property(c.get(), XCB_PROP_MODE_REPLACE, window,
                        netName ? ewmh._NET_WM_NAME : xcb_atom_t{XCB_ATOM_WM_NAME},
                        netName ? ewmh.UTF8_STRING : xcb_atom_t{XCB_ATOM_STRING}, 8,
                        static_cast<std::uint32_t>(title.size()), title.data());
    xcb_ewmh_set_wm_pid(&ewmh, window, static_cast<std::uint32_t>(::getpid()));
    xcb_map_window(c.get(), window);
    xcb_flush(c.get());
    std::printf("%u\n", window);
    std::fflush(stdout);
    // Events are not needed; the window lives until the process is killed or the display ends.
    while (auto* event = xcb_wait_for_event(c.get()))
        std::free(event);
    xcb_ewmh_connection_wipe(&ewmh);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "window" && argc == 5)
        return ShowWindow(argv[2], argv[3], std::string(argv[4]) == "net");
    if (mode == "activate" && argc == 3) {
        std::printf("%ld\n", ActivateOtherInstance(argv[2], true, ""));
        return 0;
    }
    std::fputs("usage: zemb_test_window window CLASS TITLE net|latin1 | activate CLASS\n", stderr);
    return 2;
}
