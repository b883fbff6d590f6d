// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <system_error>

// Full path of the running executable (from /proc/self/exe).
std::string ExecutablePath();
// "The folder of the executable", where the INI files live, with a trailing '/':
// $ZEMB_CONFIG_DIR when set, else the folder of the running executable.
std::string ExecutableFolder();
// The stand-in for the Windows folder: $ZEMB_SYSTEM_DIR when set, else "/etc/", trailing '/'.
std::string SystemFolder();
// The last path component of a path.
std::string ExtractFileName(const std::string& path);
// Creates a folder with every missing parent; true when it exists afterwards, else the
// system's reason in reason.
bool ForceDirectories(const std::string& path);
bool ForceDirectories(const std::string& path, std::error_code& reason);
