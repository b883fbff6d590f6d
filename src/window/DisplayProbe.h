// SPDX-License-Identifier: MIT
#pragma once

#include <string>

// Which of Qt's platforms can show a window here, tried before any Qt object exists: a set but
// unreachable DISPLAY must not end the process inside Qt. The platforms named by
// QT_QPA_PLATFORM (or wayland and xcb when it is unset) whose display answers, in that order,
// as QT_QPA_PLATFORM takes them; empty when none does.
std::string ReachablePlatforms();
