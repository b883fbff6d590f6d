// SPDX-License-Identifier: MIT
#pragma once

#include <functional>
#include <span>
#include <string_view>

class TEventLoop;
class TServerContext;

// What the operator window adds to a serving start. The server library knows the window only
// through this; a headless start passes none.
class TOperatorWindowHooks {
public:
    virtual ~TOperatorWindowHooks() = default;
    // Before unit initialisation of a start that serves clients: makes the application and
    // installs the message boxes. False: nothing was made, the start goes on headless.
    virtual bool Start() = 0;
    // After the single-instance check: the main window, hidden, over the process's context;
    // automationObjects tells how many objects the automation runtime serves.
    virtual void CreateHidden(TServerContext& context, std::function<int()> automationObjects) = 0;
    // Runs the window's loop, carrying event, until either ends (the window closed, or
    // event.Exit()); the exit code.
    virtual int Run(TEventLoop& event) = 0;
    // Frees the window, before the host objects and the operator interface go.
    virtual void Destroy() = 0;
    // Another copy of the server runs: brings its window to the front; that window, or 0 when
    // none was found.
    virtual long ActivateOtherInstance() { return 0; }
};

// zemb-server from its command line to its exit status: the start-up order, registration, the
// single-instance rule, serving clients from one loop, and the orderly end. window is null for
// a headless start.
int RunServer(std::span<const std::string_view> args, TOperatorWindowHooks* window);
