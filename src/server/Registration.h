// SPDX-License-Identifier: MIT
#pragma once

// The start mode of the process and "the registration" on Linux: a D-Bus service file that
// lets the bus start the server on demand, and the interface XML, both under
// $XDG_DATA_HOME/dbus-1 (default ~/.local/share/dbus-1). Plain file writes; nothing blocks
// beyond them.

#include <span>
#include <string>
#include <string_view>

enum class TStartMode { smStandalone, smAutomation, smRegServer, smUnregServer };

// "-" or "/" followed by AUTOMATION, EMBEDDING, REGSERVER or UNREGSERVER, letter case ignored;
// the keywords are tested in that order and the first present wins. args excludes argv[0].
TStartMode FindStartMode(std::span<const std::string_view> args);
TStartMode FindStartMode(int argc, char* const* argv);

// $XDG_DATA_HOME/dbus-1/services/org.zemb.ZEMB.service and
// $XDG_DATA_HOME/dbus-1/interfaces/org.zemb.ZEMB.xml.
std::string ServiceFilePath();
std::string InterfaceFilePath();
// The service file for an executable: Exec= its full path (quoted when it holds a blank or a
// character the bus would read as quoting) and -Embedding.
std::string ServiceFileText(std::string_view executablePath);

// Write or remove both files. False with error set when a file cannot be written or removed.
bool RegisterServer(std::string_view executablePath, std::string& error);
bool UnregisterServer(std::string& error);

// What start-up does: remove the registration in unregister mode, write it in every other
// mode. Only in register mode is a failure reported (false, error set); otherwise it is
// silent, as a user without write access must still get a running program.
bool UpdateRegistration(TStartMode mode, std::string_view executablePath, std::string& error);
