// SPDX-License-Identifier: MIT
#pragma once

class TAutomationServer;

// Serves the operator interface (contract/OperatorInterface.h) at the factory path over the
// process's communication log. Serve it for as long as the server lives.
void ServeOperatorInterface(TAutomationServer& server);
// Stops the signal (before the server goes away).
void StopOperatorInterface();
