// SPDX-License-Identifier: MIT
#pragma once

// A private X display for the tests: Xvfb on a display number it picks itself, so that it
// meets no other test's display and no user's session, with openbox as its window manager
// when asked. Ended by pid with the object: the window manager first, then the X server, which
// then leaves no lock file behind.

#include "TestProcess.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

// The full paths of the programs, in order; none when one of them is not installed.
std::optional<std::vector<std::string>> FindPrograms(const std::vector<std::string>& names);

class TXDisplay {
public:
    ~TXDisplay();

    // Starts Xvfb and waits (bounded) until it names its display. False with why.
    bool Start(const std::string& xvfb, std::string& why);
    // Starts the window manager with env (DISPLAY is added) and waits (bounded) until it
    // manages the screen (_NET_SUPPORTING_WM_CHECK on the root window). False with why.
    bool StartWindowManager(const std::string& openbox, std::map<std::string, std::string> env,
                            std::string& why);
    // ":N".
    const std::string& Name() const { return Name_; }
    // The window the window manager has made active (_NET_ACTIVE_WINDOW); 0 for none.
    std::uint32_t ActiveWindow() const;

private:
    TProcess Server_;
    TProcess WindowManager_;
    std::string Name_;
};
