// SPDX-License-Identifier: MIT
#pragma once

#include "server/ServerMain.h"

// The operator window is a module that zemb-server loads only where a display answers, so a
// headless server never maps Qt. It lies beside the executable in the build tree, and in
// <libdir>/zemb/ when installed.
inline constexpr const char* kWindowModuleFile = "zemb-server-window.so";
inline constexpr const char* kWindowHooksFactory = "ZEMBCreateWindowHooks";

// The module's one entry: the window's hooks, owned by the caller, or null when they cannot be
// made (nothing is thrown out of it). argc and argv are main's and must live as long as the
// hooks (Qt's application object keeps them); platforms are the Qt platforms whose display
// answered, as ReachablePlatforms() gives them.
extern "C" TOperatorWindowHooks* ZEMBCreateWindowHooks(int* argc, char** argv,
                                                       const char* platforms) noexcept;
using TCreateWindowHooks = decltype(&ZEMBCreateWindowHooks);
