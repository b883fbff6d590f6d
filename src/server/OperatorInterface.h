// SPDX-License-Identifier: MIT
#pragma once

#include <functional>

class TAutomationServer;
class TZEMBBus;
class TServerContext;

// Serves the operator interface (contract/OperatorInterface.h) at the factory path over the
// process's communication log and the tree of the host in context. Serve it for as long as
// the server lives; context must outlive it.
void ServeOperatorInterface(TAutomationServer& server, TServerContext& context);
// Stops the signal (before the server goes away).
void StopOperatorInterface();

// What ShowWindow does where there is a window: shows and raises it, whether it is shown.
// Without a hook (headless) ShowWindow does nothing and says so.
void SetShowWindowHook(std::function<bool()> hook);
// Asks the copy that serves this session bus to show its window: for a second copy that found
// none to bring to the front. Whether it is shown; a debug line says why not.
bool AskRunningCopyToShowWindow(TZEMBBus& bus);
