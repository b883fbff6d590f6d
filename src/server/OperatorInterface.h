// SPDX-License-Identifier: MIT
#pragma once

class TAutomationServer;

// The operator interface, org.zemb.ZEMB.Operator at the factory path: the communication log
// for operators without a window. GetCommunicationLog() → as, ClearCommunicationLog(), and the
// signal CommunicationLogChanged() after every change of the log. It reads no client state
// and changes none. Serve it for as long as the server lives.
void ServeOperatorInterface(TAutomationServer& server);
// Stops the signal (before the server goes away).
void StopOperatorInterface();
