// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>

// The operator settings, process-wide, false (0) until loaded. Readers read them at the
// moment of use, so a change applies at once.
struct TZEMBSettings {
    bool EnableEEPWrite = false;
    bool ShowDeviceListLog = false;
    bool EnableSharedAccess = false;
    // How many lines the communication log keeps, read at start-up; 0 (also for a missing or
    // negative value) keeps the server's default. Set by hand only: saving does not write it.
    std::int32_t CommunicationLogLines = 0;
};

TZEMBSettings& ZEMBSettings();

// Full path of FENWY.INI in the executable's folder.
std::string SettingsFileName();
// Resets the settings, then reads FENWY.INI; an unreadable file leaves them false.
void LoadSettings();
// Writes the three keys to FENWY.INI; raises EProfileFileError "Unable to write to <path>".
void SaveSettings();
// Resets the settings and deletes FENWY.INI if it exists.
void DeleteSettings();
// Resets the settings in memory; the file is not touched.
void ResetSettings();
